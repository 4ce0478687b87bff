// Line collection and decoding: bytes as the balance sends them, polled the
// way the host polls, against the reading they must give.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fake_serial.h"
#include "reading/lecture.h"
#include "serial/ucommw32.h"

namespace {

constexpr double aucune = -1e300;  // the mass channels say -777: no mass

// As at load, then the end of whatever line the balance was sending when
// the port opened.
void etatinitial()
{
    fakeserial::reinitialise();
    reinitialiselecture();
    fakeserial::recoit("\r\n");
    lecture();
    fakeserial::reinitialise();
}

// What the mass channels give after a poll: grams, or `aucune`.
double lu()
{
    double g;
    return masse(g) ? g : aucune;
}

// What arrives between two polls, and the reading after that poll.
struct Releve {
    std::string arrive;
    double attendu;
};

struct Cas {
    const char* nom;
    std::vector<Releve> releves;
};

void PrintTo(const Cas& c, std::ostream* os)
{
    *os << c.nom;
}

class Lecture : public ::testing::TestWithParam<Cas> {
protected:
    void SetUp() override { etatinitial(); }
};

TEST_P(Lecture, ReadingAfterEachPoll)
{
    for (std::uint32_t bloc : {tailletampon, 1u, 7u}) {
        etatinitial();
        fakeserial::taillebloc(bloc);
        int n = 0;
        for (const auto& r : GetParam().releves) {
            fakeserial::recoit(r.arrive);
            lecture();
            EXPECT_EQ(lu(), r.attendu) << "after poll " << n << ", blocks of " << bloc;
            ++n;
        }
    }
}

const Cas cas[] = {
    {"PrintLine", {{"  +12.345 g\r\n", 12.345}}},
    {"Negative", {{"  -1.234 g\r\n", -1.234}}},
    {"NothingBeforeTheFirstLine", {{"", 0.0}}},
    {"LineSplitAcrossPolls", {{"  +12.3", 0.0}, {"45 g\r\n", 12.345}}},
    {"NewestOfSeveralWaitingLines", {{"  12.345 g\r\n  12.346 g\r\n", 12.346}}},
    {"StreamingBalanceIsNotReadStale",
     {{"  +1.000 g\r\n  +2.000 g\r\n  +3.0", 2.0}, {"00 g\r\n  +4.000 g\r\n", 4.0}}},
    {"DecimalComma", {{"12,5 g\r\n", 12.5}}},
    {"ShortLineDroppedNotPrefixed", {{"12\r\n", 0.0}, {"  +12.345 g\r\n", 12.345}}},
    {"ShortLineDroppedInOneDrain", {{"12\r\n  +12.345 g\r\n", 12.345}}},
    {"LettersOnlyKeepLastGood", {{"  +12.345 g\r\n", 12.345}, {"ERREUR\r\n", 12.345}}},
    {"LettersAfterAGoodLineInOneDrain", {{"  +12.345 g\r\nERREUR\r\n", 12.345}}},
    {"FailureBeforeAnyGoodReading", {{"ERREUR\r\n", -777.0}}},
    {"TwoNumbersInALineFail", {{"  +12.345 g\r\n", 12.345}, {"1.2 - 3.4 kg\r\n", 12.345}}},
    // Stored tabs would make this a 7-character line and decode it.
    {"ControlBytesNotStored", {{"\t\t\t\t1.5\r\n", 0.0}}},
    // Unstored high bytes would leave a 3-character line, dropped.
    {"HighBytesStoredThenFiltered", {{"\x7f\x80\xff" "1.5\r\n", 1.5}}},
    {"DrainEndingOnCarriageReturn",
     {{"  +12.345 g\r\n  +99.999 g\r", 12.345}, {"\n", 99.999}}},
    {"WholeLongLine", {{"ST,GS,+       1234.567 g\r\n", 1234.567}}},
    {"BarePointIsZero", {{"  +12.345 g\r\n", 12.345}, {"  . g  \r\n", 0.0}}},
    // The balance's own formats.
    {"PrintBlockReadsTheWeightNotTheTotal",
     {{"GROSS   123.45 g \r\nNo.         01\r\nTotal   123.45 g \r\n\r\n\r\n", 123.45},
      {"GROSS    10.00 g \r\nNo.         02\r\nTotal   133.45 g \r\n\r\n\r\n", 10.0}}},
    {"GlpBlockInSohEot",
     {{"\x01" "Date: 11/12/2026\r\nTime: 10:15:32\r\n\r\nID No: 123456\r\n\r\n"
       "Net: 123.456 g\r\n\r\n\r\n\x04", 123.456}}},
    {"DatesAndCountersAloneChangeNothing",
     {{"  +12.345 g\r\n", 12.345}, {"Date 11/12/2026\r\nTime 10:15:32\r\nNo.      1\r\n", 12.345}}},
    {"KilogramsBecomeGrams", {{"ST,GS,+   1.234567 kg\r\n", 1234.567}}},
    {"OtherUnitUntilGramsAgain",
     {{"  +12.345 g\r\n", 12.345}, {"         125PCS\r\n", aucune}, {"   0.12345lb \r\n", aucune},
      {"Total    24.690 g\r\n", aucune}, {"  +1.500 g\r\n", 1.5}}},
    {"OverloadUnderloadErrorUntilAWeightLine",
     {{"  +12.345 g\r\n", 12.345}, {"OL,GS,         OL  g  \r\n", aucune},
      {"ERREUR\r\n", aucune}, {"  +12.345 g\r\n", 12.345}, {"______kg\r\n", aucune},
      {"  +2.000 g\r\n", 2.0}, {"ERR 4\r\n", aucune}, {"  +3.000 g\r\nE  4\r\n", aucune}}},
    {"WeightLineAfterNoMassInOneDrain", {{"ERR 4\r\n  +3.000 g\r\n", 3.0}}},
    {"LineTooLongIsNoWeightLine",
     {{"  +12.345 g\r\n", 12.345},
      {"ST,GS,+                                                     1234.567 g\r\n", 12.345}}},
    {"NoiseBeforeAWeightLineInOneDrain", {{"ERREUR\r\n  +7.000 g\r\n", 7.0}}},
    {"NoiseAfterAWeightLineInOneDrain", {{"  +7.000 g\r\nERREUR\r\n", 7.0}}},
};

INSTANTIATE_TEST_SUITE_P(Lignes, Lecture, ::testing::ValuesIn(cas),
                         [](const auto& info) { return std::string(info.param.nom); });

class Incidents : public ::testing::Test {
protected:
    void SetUp() override { etatinitial(); }
};

TEST_F(Incidents, ReceiveErrorSpoilsCollectedAndWaitingBytesAndTheirLine)
{
    fakeserial::recoit("  +12.345 g\r\n  +12.3");
    lecture();
    ASSERT_EQ(lu(), 12.345);
    // Queued at the faulty query: the end of the collected line, one whole
    // line, and the start of another whose end is still to come.
    fakeserial::recoit("45 g\r\n  +13.000 g\r\n  +14.0");
    fakeserial::erreurreception();
    lecture();
    EXPECT_EQ(lu(), 12.345);
    fakeserial::recoit("00 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 12.345);
    fakeserial::recoit("  +15.000 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 15.0);
}

TEST_F(Incidents, ReceiveErrorWithNothingWaitingSpoilsTheLineInProgress)
{
    fakeserial::recoit("  +12.3");
    lecture();
    fakeserial::erreurreception();
    lecture();
    fakeserial::recoit("45 g\r\n  +15.000 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 15.0);
}

TEST_F(Incidents, NoMassFromTheLossUntilAFreshLine)
{
    fakeserial::recoit("  +12.345 g\r\n");
    lecture();
    ASSERT_EQ(lu(), 12.345);
    fakeserial::debranche(true);
    lecture();
    EXPECT_EQ(lu(), aucune);
    EXPECT_EQ(fakeserial::ouvertures(), 0);
    // Still unplugged: the port cannot come back.
    lecture();
    EXPECT_EQ(lu(), aucune);
    fakeserial::debranche(false);
    lecture();
    EXPECT_EQ(fakeserial::ouvertures(), 2);
    EXPECT_EQ(lu(), aucune);
    // The balance now shows 1.5 g; the first bytes may end a line whose
    // start was lost, so that line is not read.
    fakeserial::recoit("2.346 g\r\n");
    lecture();
    EXPECT_EQ(lu(), aucune);
    fakeserial::recoit("ERREUR\r\n");
    lecture();
    EXPECT_EQ(lu(), aucune);
    fakeserial::recoit("  +1.500 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 1.5);
}

TEST_F(Incidents, PortClosedAtLoadGivesNoMassUntilItOpensAndALineComes)
{
    fakeserial::debranche(true);
    fermecom();
    lecture();
    EXPECT_EQ(lu(), aucune);
    fakeserial::debranche(false);
    lecture();
    EXPECT_EQ(fakeserial::ouvertures(), 2);
    fakeserial::recoit("  +12.345 g\r\n  +12.346 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 12.346);
}

TEST_F(Incidents, LostMidLineTheLineIsNotSpliced)
{
    fakeserial::recoit("  +12.345 g\r\n  +1");
    lecture();
    fakeserial::debranche(true);
    lecture();
    fakeserial::debranche(false);
    lecture();
    // What was lost meanwhile would splice "  +1" onto "3.000 g".
    fakeserial::recoit("3.000 g\r\n");
    lecture();
    EXPECT_EQ(lu(), aucune);
    fakeserial::recoit("  +15.000 g\r\n");
    lecture();
    EXPECT_EQ(lu(), 15.0);
}

TEST(Chargement, TheFirstLineAfterTheOpenAtLoadIsNotRead)
{
    fakeserial::reinitialise();
    reinitialiselecture();
    // Opened while the balance was sending "ST,GS,+     12.346  g".
    fakeserial::recoit("2.346  g\r\n");
    lecture();
    EXPECT_EQ(lu(), 0.0);
    fakeserial::recoit("ST,GS,+     12.347  g\r\n");
    lecture();
    EXPECT_EQ(lu(), 12.347);
}

TEST_F(Incidents, CountedBytesThatNeverComeEndTheDrain)
{
    fakeserial::fantomes(3);
    lecture();
    EXPECT_EQ(fakeserial::requetes(), 1);
    EXPECT_EQ(lu(), 0.0);
}

struct Conversion {
    const char* texte;
    bool reussit;
    double valeur;
};

void PrintTo(const Conversion& c, std::ostream* os)
{
    *os << '"' << c.texte << '"';
}

class Convertit : public ::testing::TestWithParam<Conversion> {};

TEST_P(Convertit, NearestDoubleOrFailure)
{
    const auto& c = GetParam();
    const std::string t = c.texte;
    double v = 4242.0;
    EXPECT_EQ(convertit(t.data(), t.size(), v), c.reussit) << '"' << t << '"';
    if (c.reussit) {
        EXPECT_EQ(v, c.valeur) << '"' << t << '"';
        EXPECT_EQ(std::signbit(v), std::signbit(c.valeur)) << '"' << t << '"';
    }
}

const Conversion conversions[] = {
    {"12.345", true, 12.345},
    {"-12.5", true, -12.5},
    {"12.", true, 12.0},
    {".5", true, 0.5},
    {".", true, 0.0},
    {"-.", true, -0.0},
    {"-0", true, -0.0},
    {"0.1", true, 0.1},
    // Halfway between two doubles: ties to even.
    {"9007199254740993", true, 9007199254740992.0},
    {"12345678901234567890", true, 12345678901234567890.0},
    {"0.000000000000000001", true, 1e-18},
    {"", false, 0},
    {"-", false, 0},
    {"1.2.3", false, 0},
    {"1-2", false, 0},
    {"--1", false, 0},
    {"12.34512.346", false, 0},
};

INSTANTIATE_TEST_SUITE_P(Textes, Convertit, ::testing::ValuesIn(conversions));

}  // namespace
