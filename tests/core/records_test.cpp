#include <kqnet/core/records.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <kqnet/axons/axon.h>
#include <kqnet/axons/context_axon.h>
#include <kqnet/control/control.h>
#include <kqnet/core/fatal.h>
#include <kqnet/core/number_text.h>
#include <kqnet/core/record_numbers.h>
#include <kqnet/criteria/criterion.h>
#include <kqnet/data/spatial_data.h>
#include <kqnet/learning/cg_globals.h>
#include <kqnet/learning/conjugate_gradient.h>
#include <kqnet/learning/lm_globals.h>
#include <kqnet/momentum/momentum.h>
#include <kqnet/synapses/synapse.h>
#include <kqnet/weightfile/weight_file.h>

namespace {

using namespace kq;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A file holding text, read from the start; closed at scope end. In
// memory, it is a stream over its own copy of the text.
struct TextFile {
  explicit TextFile(const std::string& source, bool inMemory = false) : text(source) {
    if (inMemory) {
      file = fmemopen(text.data(), text.size(), "r");
      return;
    }
    file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
  }
  ~TextFile() { std::fclose(file); }
  int nextInt() {
    int32_t value = -999;
    scanInt(file, value);
    return value;
  }
  std::string text;
  std::FILE* file = nullptr;
};

// What a file writer printed.
template <typename Write>
std::string printed(Write write) {
  std::FILE* file = std::tmpfile();
  write(file);
  std::string text(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

const std::vector<double> kAwkward = {kNan, kInf, -kInf, 1e-310, -0.0, 0.1, -1.0 / 3.0};

// --- Axon record -------------------------------------------------------------------

TEST(AxonRecord, ShapeActiveFlagAndWeightsComeFromTheSection) {
  TextFile f("#KqWeightFileVersion 246\n#hidden1Axon TanhAxon 3 1\n0\n3 0.5 -0.25 2\n7");
  const KqWeightFileVersion version = readWeightFileVersion(f.file);
  TanhAxon axon;
  axon.setRows(5);
  axon.readWeights(findWeightSection(f.file, "TanhAxon", "hidden1Axon"), version);
  EXPECT_EQ(axon.rows, 3);
  EXPECT_EQ(axon.columns, 1);
  EXPECT_EQ(axon.length, 3);
  EXPECT_EQ(axon.active, 0);
  EXPECT_EQ(axon.weights, (std::vector<double>{0.5, -0.25, 2}));
  EXPECT_EQ(f.nextInt(), 7);

  TanhAxon twin;
  WeightTextCursor cursor{"3 1\n0\n3 0.5 -0.25 2\n7"};
  twin.readWeightsFromText(cursor, 246);
  EXPECT_EQ(twin.length, 3);
  EXPECT_EQ(twin.active, 0);
  EXPECT_EQ(twin.weights, axon.weights);
  EXPECT_EQ(cursor.readInt(), 7);
}

TEST(AxonRecord, BeforeVersion224TheWeightsCountFollowsTheShape) {
  TextFile f("2 1 2 0.5 0.75 9");
  BiasAxon axon;
  axon.active = 0;
  axon.readWeights(f.file, 223);
  EXPECT_EQ(axon.active, 0);
  EXPECT_EQ(axon.weights, (std::vector<double>{0.5, 0.75}));
  EXPECT_EQ(f.nextInt(), 9);
}

void readAxon(const char* text) {
  TextFile f(text);
  Axon axon;
  axon.readWeights(f.file, 246);
}

TEST(AxonRecordDeathTest, ShapesOutsideTheRangeEndTheProcess) {
  EXPECT_EXIT(readAxon("0 1 1 1 0.5"), testing::ExitedWithCode(1),
              "^Number of rows in axon out of range\\. Read 0, valid range is 1-1000000\\.$");
  EXPECT_EXIT(
      readAxon("3 1000001 1 3 0 0 0"), testing::ExitedWithCode(1),
      "^Number of columns in axon out of range\\. Read 1000001, valid range is 1-1000000\\.$");
  // Rows are tested first; an unreadable shape counts as 0.
  EXPECT_EXIT(readAxon("0 0"), testing::ExitedWithCode(1), "^Number of rows.*Read 0,");
  EXPECT_EXIT(readAxon("4 x"), testing::ExitedWithCode(1), "^Number of columns.*Read 0,");
  EXPECT_EXIT(readAxon(""), testing::ExitedWithCode(1), "^Number of rows.*Read 0,");
}

// --- Weights record and snapshots -------------------------------------------------

TEST(WeightsRecord, TheObjectsOwnTotalIsReadWhateverTheCountSays) {
  TextFile f("10 1 2 3 4 5 6 7 8 9 10 11 12 13");
  Soma soma;
  soma.setWeightCount(12, 1);
  soma.readWeights(f.file, 246);
  EXPECT_EQ(soma.weights[11], 12.0);
  EXPECT_EQ(f.nextInt(), 13);
  // A hostile count changes nothing either.
  WeightTextCursor cursor{"-2000000000 1 2 3 4 5 6 7 8 9 10 11 12"};
  soma.readWeightsFromText(cursor, 246);
  EXPECT_EQ(soma.weights[0], 1.0);
  EXPECT_EQ(soma.weights[11], 12.0);
}

TEST(WeightsRecord, WritersPrintCountsValuesAndTheBlankLine) {
  BiasAxon axon;
  axon.setRows(2);
  axon.weights = {0.5, -2};
  const std::string expected = "2 1\n1\n2 5.0000000000000000e-01 -2.0000000000000000e+00 \n\n";
  EXPECT_EQ(printed([&](std::FILE* f) { axon.writeWeights(f, 1); }), expected);
  std::string text;
  axon.writeWeightsToText(text, 1);
  EXPECT_EQ(text, expected);
}

TEST(WeightsRecord, RoundTripsKeepEveryBitInBothForms) {
  TanhAxon source;
  source.setRows(static_cast<int>(kAwkward.size()));
  source.weights = kAwkward;
  TanhAxon fromFile;
  TextFile f(printed([&](std::FILE* out) { source.writeWeights(out, 0); }));
  fromFile.readWeights(f.file, 246);
  EXPECT_TRUE(sameBits(fromFile.weights, kAwkward));
  std::string text;
  source.writeWeightsToText(text, 0);
  TanhAxon fromText;
  WeightTextCursor cursor{text.c_str()};
  fromText.readWeightsFromText(cursor, 246);
  EXPECT_TRUE(sameBits(fromText.weights, kAwkward));
}

TEST(Snapshots, SavedWritersRepeatThePresentRecordRightAfterASave) {
  Axon input;
  Axon output;
  FullSynapse delayed;
  input.setRows(2);
  output.setRows(3);
  delayed.setDelay(1);
  input.connectOutput(&delayed);
  delayed.connectInput(&input);
  delayed.connectOutput(&output);
  output.connectInput(&delayed);
  IntegratorAxon context;
  context.setRows(3);
  L2Criterion criterion;
  criterion.setRows(2);
  std::vector<Soma*> objects = {&input, &delayed, &context, &criterion};
  for (Soma* object : objects) {
    object->saveWeights();
    const std::string present = printed([&](std::FILE* f) { object->writeWeights(f, 1); });
    std::string saved;
    object->writeSavedWeightsToText(saved, 1);
    EXPECT_EQ(saved, present) << object->className();
  }
}

TEST(Snapshots, ASecondSavedWriteOfAContextAxonPrintsThePresentMemory) {
  IntegratorAxon context;
  context.setRows(2);
  double* memory = context.memory->currentFrame();
  memory[0] = 0.25;
  memory[1] = 0.5;
  context.saveWeights();
  memory[0] = -1;
  std::string first;
  context.writeSavedStateToText(first);
  memory[1] = 8;
  std::string second;
  context.writeSavedStateToText(second);
  EXPECT_EQ(first, "2 2.5000000000000000e-01 5.0000000000000000e-01 \n");
  EXPECT_EQ(second, "2 -1.0000000000000000e+00 8.0000000000000000e+00 \n");
}

// --- State records ----------------------------------------------------------------

TEST(StateRecords, TheDesiredRangeFollowsTheWeightsOnlyFrom246) {
  const std::string body = "2 1\n1\n0\n2 -1 1 -0.5 0.5\n";  // no weights
  L2Criterion criterion;
  criterion.setRows(2);
  criterion.desiredMin = {9, 9};
  TextFile old(body);
  criterion.readWeights(old.file, 245);
  EXPECT_EQ(criterion.desiredMin, (std::vector<double>{9, 9}));
  EXPECT_EQ(old.nextInt(), 2);  // the range was left for the next reader
  TextFile f(body);
  criterion.readWeights(f.file, 246);
  EXPECT_EQ(criterion.desiredMin, (std::vector<double>{-1, -0.5}));
  EXPECT_EQ(criterion.desiredMax, (std::vector<double>{1, 0.5}));
  // Surplus pairs are dropped, hostile counts stop at the end of the text.
  WeightTextCursor cursor{"3 1 2 3 4 5 6 77"};
  criterion.readStateFromText(cursor, 246);
  EXPECT_EQ(criterion.desiredMax, (std::vector<double>{2, 4}));
  EXPECT_EQ(cursor.readInt(), 77);
  WeightTextCursor hostile{"2000000000 7 8"};
  criterion.readStateFromText(hostile, 246);
  EXPECT_EQ(criterion.desiredMin, (std::vector<double>{7, 0}));  // past the end: 0.0
}

TEST(StateRecords, OnlyADelayedSynapseReadsItsActivityAndOnlyFrom124) {
  Axon input;
  FullSynapse delayed;
  FullSynapse direct;
  input.setRows(2);
  delayed.setDelay(1);
  input.connectOutput(&delayed);
  delayed.connectInput(&input);
  direct.connectInput(&input);
  delayed.length = 2;
  direct.length = 2;
  TextFile old("2 0.5 0.25 5");
  delayed.readState(old.file, 123);
  EXPECT_EQ(old.nextInt(), 2);
  TextFile none("2 0.5 0.25 5");
  direct.readState(none.file, 246);
  EXPECT_EQ(none.nextInt(), 2);
  TextFile f("2 0.5 0.25 5");
  delayed.readState(f.file, 124);
  EXPECT_EQ(delayed.currentFrame()[1], 0.25);
  EXPECT_EQ(f.nextInt(), 5);
  EXPECT_EQ(printed([&](std::FILE* out) { direct.writeState(out); }), "");
  std::string text;
  delayed.writeStateToText(text);
  EXPECT_EQ(text, "2 5.0000000000000000e-01 2.5000000000000000e-01 \n");
}

TEST(StateRecords, ASynapseWiderThanItsInputFrameKeepsOnlyTheFramesPart) {
  // As the context synapse: 8 inputs delayed into 50 outputs, so the record
  // carries 50 values while the frame it reads holds 8.
  Axon input;
  Axon output;
  FullSynapse delayed;
  input.setRows(8);
  output.setRows(50);
  delayed.setDelay(1);
  input.connectOutput(&delayed);
  delayed.connectInput(&input);
  delayed.connectOutput(&output);
  output.connectInput(&delayed);
  ASSERT_EQ(delayed.length, 50);
  ASSERT_EQ(delayed.frameSize, 8);
  std::fill(input.ringStart(), input.ringEnd(), 7.0);
  std::string record = "50";
  for (int i = 0; i < 50; ++i) record.append(" ").append(std::to_string(i + 1));
  TextFile f(record + " 99");
  delayed.readState(f.file, 246);
  EXPECT_EQ(f.nextInt(), 99);
  const double* frame = delayed.currentFrame();
  for (const double* p = input.ringStart(); p != input.ringEnd(); ++p) {
    const int64_t i = p - frame;
    EXPECT_EQ(*p, i >= 0 && i < 8 ? static_cast<double>(i + 1) : 7.0) << (p - input.ringStart());
  }
  std::string text;
  delayed.writeStateToText(text);
  std::string expected = "50 ";
  for (int i = 0; i < 50; ++i) {
    expected += formatString("%22.16e ", i < 8 ? static_cast<double>(i + 1) : 0.0);
  }
  EXPECT_EQ(text, expected + "\n");
}

TEST(StateRecords, ContextMemoryRoundTripsAndHostileCountsAreHarmless) {
  IntegratorAxon source;
  source.setRows(3);
  std::copy_n(kAwkward.begin(), 3, source.memory->currentFrame());
  IntegratorAxon target;
  target.setRows(3);
  TextFile f(printed([&](std::FILE* out) { source.writeState(out); }));
  target.readState(f.file, 124);
  std::vector<double> memory(target.memory->currentFrame(), target.memory->currentFrame() + 3);
  EXPECT_TRUE(sameBits(memory, {kNan, kInf, -kInf}));
  TextFile hostile("2147483647 1 2");
  target.readState(hostile.file, 246);
  EXPECT_EQ(target.memory->currentFrame()[1], 2.0);
  TextFile negative("-5 4 4 4");
  target.readState(negative.file, 246);
  EXPECT_EQ(negative.nextInt(), 4);
}

// A conjugate-gradient object sized for n weights with known vectors.
struct CgFixture {
  explicit CgFixture(int n) {
    target.setWeightCount(n, 1);
    gradient.setBackprop(&target);
    for (kq::ClaimedArray<double>* v :
         {&gradient.weightCopy, &gradient.baseWeights, &gradient.direction,
          &gradient.steepestDescent, &gradient.curvature}) {
      for (size_t i = 0; i < v->size(); ++i) (*v)[i] = static_cast<double>(i) + 0.5;
    }
  }
  Soma target;
  ConjugateGradient gradient;
};

TEST(ConjugateGradientRecord, RoundTripsWithTwoEmptyLinesAndDropsTheLegacyBlock) {
  CgFixture source(2);
  source.gradient.curvature = {kNan, -kInf};
  std::string text;
  source.gradient.writeWeightsToText(text);
  EXPECT_EQ(text.substr(0, 2), "2\n");
  EXPECT_EQ(text.substr(text.size() - 4), " \n\n\n");
  CgFixture target(2);
  WeightTextCursor cursor{text.c_str()};
  target.gradient.readWeightsFromText(cursor, 246);
  EXPECT_TRUE(sameBits(target.gradient.curvature, source.gradient.curvature));
  // Below 235 a flag and, when set, seven doubles and seven integers follow.
  TextFile f("2\n1 2\n3 4\n5 6\n7 8\n9 10\n1 .5 .5 .5 .5 .5 .5 .5 1 2 3 4 5 6 7 42");
  target.gradient.readWeights(f.file, 234);
  EXPECT_EQ(target.gradient.curvature, (std::vector<double>{9, 10}));
  EXPECT_EQ(f.nextInt(), 42);
}

TEST(ConjugateGradientRecord, ACountMismatchPrintsOnceAndTheNextLookupStillWorks) {
  CgFixture fixture(3);
  TextFile f(
      "#KqWeightFileVersion 246\n#g1 ConjugateGradient 2\n1 2\n1 2\n1 2\n1 2\n1 2\n\n"
      "#control StaticControl 4 0.5 1 0\n");
  testing::internal::CaptureStdout();
  fixture.gradient.readWeights(findWeightSection(f.file, "ConjugateGradient", "g1"), 246);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error loading weights for Conjugate Gradient.\n");
  EXPECT_EQ(fixture.gradient.direction, (std::vector<double>{0.5, 1.5, 2.5}));
  StaticControl control;
  control.readLearningState(findWeightSection(f.file, "StaticControl", "control"), 246);
  EXPECT_EQ(control.bestEpoch, 4);
  // Older files carry no record at all.
  testing::internal::CaptureStdout();
  fixture.gradient.readState(f.file, 215);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// --- Control record ---------------------------------------------------------------

TEST(ControlRecord, WithoutStateItEndsAfterFourNumbers) {
  StaticControl control;
  control.leastSquaresPending = 3;
  TextFile f("12 0.125 1 0 99");
  control.readLearningState(f.file, 242);
  EXPECT_EQ(control.bestEpoch, 12);
  EXPECT_EQ(control.bestCost, 0.125);
  EXPECT_EQ(control.learningMode, 1);
  EXPECT_EQ(control.leastSquaresPending, 3);
  EXPECT_FALSE(control.learningGlobals);
  EXPECT_EQ(f.nextInt(), 99);
  TextFile old("12 0.125 1 0 99");
  control.readLearningState(old.file, 241);
  EXPECT_EQ(old.nextInt(), 12);
}

TEST(ControlRecord, ModeOneFillsConjugateGradientGlobalsButNeverOthers) {
  const char* record = "1 2.5 1 1  1 2 3 4 5 6 7  8 9 10 11 12 13 14  0 55";
  StaticControl control;
  TextFile f(record);
  control.readLearningState(f.file, 246);
  auto* cg = dynamic_cast<CGGlobals*>(control.learningGlobals.get());
  ASSERT_NE(cg, nullptr);
  EXPECT_EQ(cg->sigma, 1);
  EXPECT_EQ(cg->previousError, 7);
  EXPECT_EQ(cg->stepPending, 8);
  EXPECT_EQ(cg->skipFlag, 12u);
  EXPECT_EQ(cg->restartCounter, 14);
  EXPECT_EQ(control.leastSquaresPending, 0);
  EXPECT_EQ(f.nextInt(), 55);
  StaticControl other;
  other.learningMode = 2;
  other.createLearningGlobals();
  TextFile g(record);
  other.readLearningState(g.file, 246);
  EXPECT_EQ(other.learningGlobals->initialised, 0);
  EXPECT_EQ(other.learningGlobals->skipFlag, 1u);
  EXPECT_EQ(other.leastSquaresPending, 0);
}

// A mode-2 record for n = 2, m = 1 whose values count up from 1.
std::string levenbergRecord(bool extraValue) {
  std::string text = "3 0.5 2 1  1 0 1  0.01 0.02 0.9  2 1 0 0 1\n";
  int value = 1;
  for (int i = 0; i < 2; ++i) {
    const int count = 4 * 2 + 3 * 1 + 3 + (extraValue ? 1 : 0);
    for (int k = 0; k < count; ++k) text += std::to_string(value++) + " ";
    text += "\n";
  }
  return text + "0 66";
}

TEST(ControlRecord, LevenbergRowsCarryOneMoreValueBelow245) {
  StaticControl current;
  TextFile f(levenbergRecord(false));
  current.readLearningState(f.file, 245);
  const SavedLmState& s = current.savedLmState;
  EXPECT_EQ(s.weightCount, 2);
  EXPECT_EQ(s.hessian, (std::vector<double>{2, 6, 16, 20}));
  EXPECT_EQ(s.jacobian, (std::vector<double>{9, 23}));  // jacobian[0][i]
  EXPECT_EQ(s.savedWeights, (std::vector<double>{12, 26}));
  EXPECT_EQ(s.gradientSum, (std::vector<double>{14, 28}));
  EXPECT_EQ(current.leastSquaresPending, 0);
  EXPECT_EQ(f.nextInt(), 66);
  StaticControl older;
  TextFile g(levenbergRecord(true));
  older.readLearningState(g.file, 244);
  EXPECT_EQ(older.savedLmState.savedWeights, (std::vector<double>{15, 30}));
  EXPECT_EQ(older.savedLmState.step, (std::vector<double>{13, 28}));
  EXPECT_EQ(g.nextInt(), 66);
}

TEST(ControlRecord, SizesTheFileCannotHoldLeaveTheStateAbsent) {
  StaticControl control;
  control.leastSquaresPending = 5;
  TextFile f("3 0.5 2 1  1 0 1  0.01 0.02 0.9  40000 1 0 0 1  1 2 3 4 0");
  control.readLearningState(f.file, 246);
  EXPECT_FALSE(control.savedLmState.present());
  EXPECT_EQ(control.savedLmState.weightCount, 0);
  EXPECT_EQ(control.leastSquaresPending, 5);
}

void readHugeLevenbergState() {
  StaticControl control;
  TextFile f("3 0.5 2 1  1 0 1  0.01 0.02 0.9  50000 1 0 0 1  0");
  control.readLearningState(f.file, 246);
}

TEST(ControlRecordDeathTest, SizesBeyond32BitsAreOutOfMemory) {
  EXPECT_EXIT(readHugeLevenbergState(), testing::ExitedWithCode(1), "^Error: Out of memory\\.\n$");
}

// --- Normalisation record ---------------------------------------------------------

TEST(NormalizationRecord, SurplusPairsAreDroppedAndTheReadingBlockReadPast) {
  InputSpatialData data;
  data.setSize(2, 1);
  TextFile f("3\n1.5 0.5\n2.5 -1\n9 9\n42");
  data.readNormalization(f.file, 246);
  EXPECT_EQ(data.scale, (std::vector<double>{1.5, 2.5}));
  EXPECT_EQ(data.offset, (std::vector<double>{0.5, -1}));
  EXPECT_EQ(f.nextInt(), 42);
  data.reading = 1;
  const std::string record = "1\n3 4\n2 0.1 0.2 0.3 0.4 1 5 2 10 11 12 13 42";
  TextFile newer(record);
  data.readNormalization(newer.file, 214);
  EXPECT_EQ(data.scale[0], 3.0);
  EXPECT_EQ(newer.nextInt(), 42);
  TextFile older(record);
  data.readNormalization(older.file, 213);
  EXPECT_EQ(older.nextInt(), 2);
  TextFile hostile("2000000000 1 2 3 4 5");
  data.readNormalization(hostile.file, 246);
  EXPECT_EQ(data.offset, (std::vector<double>{2, 4}));
}

// --- Records of a file opened by name ---------------------------------------------

// Whether a NamedFile is a stream over text in memory registered with that
// text, as a program's weight file is, so that its readers read the text.
// The tests of these records run both ways.
bool namedInMemory = false;

// A weight file the program opened by name: its readers take a token that
// is not a number for a damaged file.
struct NamedFile : TextFile {
  explicit NamedFile(const std::string& source)
      : TextFile(source, namedInMemory),
        named(file, "Belmot.kqw", namedInMemory ? text.data() : nullptr, text.size()) {}
  NamedWeightStream named;
};

// Runs check once through the stream and once in memory.
template <typename Check>
void bothWays(Check check) {
  for (const bool inMemory : {false, true}) {
    SCOPED_TRACE(inMemory ? "in memory" : "through the stream");
    namedInMemory = inMemory;
    check();
  }
  namedInMemory = false;
}

// The weights of a Soma of three (-1, -2, -3 before) after reading record
// from file.
std::vector<double> weightsFrom(std::FILE* file) {
  Soma soma;
  soma.setWeightCount(3, 1);
  soma.weights = {-1, -2, -3};
  soma.readWeights(file, 246);
  return soma.weights;
}

std::vector<double> namedWeights(const std::string& record) {
  NamedFile f(record);
  return weightsFrom(f.file);
}

std::vector<double> bareWeights(const std::string& record) {
  TextFile f(record);
  return weightsFrom(f.file);
}

// Weights records cut short at the next section, at the end of the file
// and at a stray '#' inside the list, and one without its count.
const char* const kShortWeights[] = {"3 1.5 2.5\n#next File 4", "3 1.5#next File 4", "3 1.5 \n ",
                                     "3 1.5 # 2.5 3.5", "#next File"};

TEST(NamedRecord, ARecordCutShortAtTheNextSectionOrTheEndKeepsTheRest) {
  // A weights record must be whole there (the death test below); on a bare
  // stream it still ends early and keeps what it lacks.
  EXPECT_EQ(bareWeights(kShortWeights[0]), (std::vector<double>{1.5, 2.5, -3}));
  EXPECT_EQ(bareWeights(kShortWeights[1]), (std::vector<double>{1.5, -2, -3}));
  EXPECT_EQ(bareWeights(kShortWeights[2]), (std::vector<double>{1.5, -2, -3}));
  EXPECT_EQ(bareWeights(kShortWeights[3]), (std::vector<double>{1.5, -2, -3}));
  EXPECT_EQ(bareWeights(kShortWeights[4]), (std::vector<double>{-1, -2, -3}));
  bothWays([] {
    // Whole, it reads exactly, up to the next section or the end, and the
    // stream stands right after the last number.
    EXPECT_EQ(namedWeights("3 1.5 2.5 -0.125#next File 4"),
              (std::vector<double>{1.5, 2.5, -0.125}));
    EXPECT_EQ(namedWeights("3 1.5 2.5 -0.125"), (std::vector<double>{1.5, 2.5, -0.125}));
    NamedFile whole("3 1.5 2.5 -0.125 \n#next File 4");
    EXPECT_EQ(weightsFrom(whole.file), (std::vector<double>{1.5, 2.5, -0.125}));
    EXPECT_EQ(std::ftell(whole.file), 16);
    // Any other record still keeps what it lacks: a memory after a whole
    // weights record, cut short at the next section, where the stream stands.
    NamedFile context("3 1\n1\n3 0.25 0.5 0.75\n3 4.5\n#next File");
    IntegratorAxon axon;
    axon.setRows(3);
    std::fill_n(axon.memory->currentFrame(), 3, -1.0);
    axon.readWeights(context.file, 246);
    EXPECT_EQ(axon.weights, (std::vector<double>{0.25, 0.5, 0.75}));
    EXPECT_EQ(std::vector<double>(axon.memory->currentFrame(), axon.memory->currentFrame() + 3),
              (std::vector<double>{4.5, -1, -1}));
    EXPECT_EQ(std::getc(context.file), '#');
    const std::vector<double> special = namedWeights("3 nan -inf INFINITY");
    EXPECT_TRUE(std::isnan(special[0]));
    EXPECT_EQ(special[1], -kInf);
    EXPECT_EQ(special[2], kInf);
  });
  // Not registered, the same stream reads a word past as before.
  TextFile plain("3 1.5 abc 2.5");
  Soma soma;
  soma.setWeightCount(3, 1);
  soma.weights = {-1, -2, -3};
  soma.readWeights(plain.file, 246);
  EXPECT_EQ(soma.weights, (std::vector<double>{1.5, -2, -3}));
}

// The records other than the weights keep what they lack when the file
// ends inside them, as they do at the next section.
TEST(NamedRecord, ARecordCutShortAtTheEndOfTheFileKeepsWhatItLacks) {
  bothWays([] {
    NamedFile velocity("3 1.5 2.5");
    Soma target;
    target.setWeightCount(3, 1);
    Momentum rule;
    rule.setBackprop(&target);
    rule.readWeights(velocity.file, 246);
    EXPECT_EQ(rule.velocity, (std::vector<double>{1.5, 2.5, 0}));
    rule.release();
    NamedFile context("3 1\n1\n3 0.25 0.5 0.75\n3 4.5");
    IntegratorAxon axon;
    axon.setRows(3);
    std::fill_n(axon.memory->currentFrame(), 3, -1.0);
    axon.readWeights(context.file, 246);
    EXPECT_EQ(std::vector<double>(axon.memory->currentFrame(), axon.memory->currentFrame() + 3),
              (std::vector<double>{4.5, -1, -1}));
    NamedFile pairs("2\n1.5 0.5\n2.5");
    InputSpatialData data;
    data.setSize(2, 1);
    data.offset = {9, 9};
    data.readNormalization(pairs.file, 246);
    EXPECT_EQ(data.scale[1], 2.5);
    EXPECT_EQ(data.offset, (std::vector<double>{0.5, 9}));
    NamedFile record("12 0.125 1 1  1 2 3");
    StaticControl control;
    control.leastSquaresPending = 3;
    control.readLearningState(record.file, 246);
    auto* cg = dynamic_cast<CGGlobals*>(control.learningGlobals.get());
    ASSERT_NE(cg, nullptr);
    EXPECT_EQ(cg->lambdaBar, 3);
    EXPECT_EQ(cg->sigmaK, 0);
    EXPECT_EQ(control.leastSquaresPending, 3);
  });
}

void readNamedNormalization(const std::string& record) {
  NamedFile f(record);
  InputSpatialData data;
  data.setSize(1, 1);
  data.reading = 1;
  data.readNormalization(f.file, 246);
}

void readNamedVelocity(const std::string& record) {
  NamedFile f(record);
  Soma target;
  target.setWeightCount(3, 1);
  Momentum rule;
  rule.setBackprop(&target);
  rule.readWeights(f.file, 246);
  rule.release();
}

void readNamedAxon(const std::string& record) {
  NamedFile f(record);
  TanhAxon axon;
  axon.readWeights(f.file, 246);
}

TEST(NamedRecordDeathTest, ATokenThatIsNoNumberEndsTheRunAsAnUnreadableFile) {
  bothWays([] {
    const char* const message = "^Error: Unable to read file Belmot\\.kqw\\.\n$";
    EXPECT_EXIT(namedWeights("3 1.5 abc 2.5"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(namedWeights("3 1.5 - 2.5"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(namedWeights("3 1.5 -#next File"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(namedWeights("three 1 2 3"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(readNamedAxon("3 x 1 3 0 0 0"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(readNamedVelocity("x 1 2 3"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(readNamedVelocity("3 1 y 3"), testing::ExitedWithCode(1), message);
    // The dropped integers of a reading file's second block.
    EXPECT_EXIT(readNamedNormalization("1\n1 0\n1\n0 0\n1 7 2 10 x 12 13"),
                testing::ExitedWithCode(1), message);
    // The shape read up to a section's '#' is still a missing shape.
    EXPECT_EXIT(readNamedAxon("3 #next File"), testing::ExitedWithCode(1),
                "^Number of columns.*Read 0,");
  });
}

TEST(NamedRecordDeathTest, AWeightsRecordThatEndsEarlyIsAnUnreadableFile) {
  bothWays([] {
    const char* const message = "^Error: Unable to read file Belmot\\.kqw\\.\n$";
    for (const char* record : kShortWeights) {
      EXPECT_EXIT(namedWeights(record), testing::ExitedWithCode(1), message) << record;
    }
    // An axon's weights, after its shape and flag.
    EXPECT_EXIT(readNamedAxon("3 1\n1\n3 0.25 0.5\n#next File"), testing::ExitedWithCode(1),
                message);
    EXPECT_EXIT(readNamedAxon("3 1\n1\n"), testing::ExitedWithCode(1), message);
  });
}

}  // namespace
