// The line grammar: what each line the balance may send says of the mass.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reading/lecture.h"
#include "reading/pesee.h"

namespace {

struct Ligne {
    const char* texte;
    genre sorte;
    double grammes;  // for `pesee`
    raison pourquoi = raison::aucune;
};

void PrintTo(const Ligne& l, std::ostream* os)
{
    *os << '"' << l.texte << '"';
}

class Grammaire : public ::testing::TestWithParam<Ligne> {};

TEST_P(Grammaire, SaysWhatTheLineSays)
{
    const auto& l = GetParam();
    const std::string t = l.texte;
    analyse a;
    analyseligne(t.data(), t.size(), a);
    ASSERT_EQ(a.sorte, l.sorte);
    if (l.sorte == genre::pesee) {
        double v = 4242.0;
        ASSERT_TRUE(convertit(a.nombre, a.longueurnombre, v))
            << std::string(a.nombre, a.longueurnombre);
        EXPECT_EQ(v, l.grammes);
        EXPECT_EQ(std::signbit(v), std::signbit(l.grammes));
    }
    if (l.sorte == genre::sansmasse) {
        EXPECT_EQ(a.pourquoi, l.pourquoi);
    }
}

constexpr auto P = genre::pesee;
constexpr auto U = genre::autreunite;
constexpr auto S = genre::sansmasse;
constexpr auto B = genre::bruit;
constexpr auto A = genre::autre;

const Ligne lignes[] = {
    // Weight lines in grams, as the balances print them.
    {"  +12.345 g", P, 12.345},
    {"  -1.234 g", P, -1.234},
    {"ST,GS,+     12.345  g  ", P, 12.345},
    {"US,NT,-      0.250  g  ", P, -0.25},
    {"ST,GS,+       1234.567 g", P, 1234.567},
    {"US,NT,-  0.200kg", P, -200.0},
    {"GROSS   123.45 g ", P, 123.45},
    {"NET     123.45 g ", P, 123.45},
    {"-     12.500 g ", P, -12.5},
    {"      123.45 g ", P, 123.45},
    {"1234.567 g", P, 1234.567},
    {"Net: 123.456 g", P, 123.456},
    {"Gross Wt 1.234 Kg", P, 1234.0},
    {"Net Wt. 1.234567 kg", P, 1234.567},
    {"G 12.5 g", P, 12.5},
    {"N: 12.5", P, 12.5},
    {"BRUT    12,5 g", P, 12.5},
    {"Netto: 7 g", P, 7.0},
    {"BRUTTO 0,001 kg", P, 1.0},
    {"12,5 g", P, 12.5},
    {"  12.5  ", P, 12.5},
    {"+ 3 mg", P, 0.003},
    {"1.5 MG", P, 0.0015},
    {"12345678.9 mg", P, 12345.6789},
    // The design's decimal rule keeps its results.
    {"  . g  ", P, 0.0},
    {"  -. g  ", P, -0.0},
    {"  12. g", P, 12.0},
    {"  .5 g", P, 0.5},
    {"\x7f\x80\xff" "1.5", P, 1.5},
    {"0.000 kg", P, 0.0},
    // A reading that is not a mass in grams.
    {"         125PCS", U, 0},
    {"  0.12345lb ", U, 0},
    {"   123.45dwt", U, 0},
    {"ST,GS,+     12.345  %  ", U, 0},
    {"12 oz", U, 0},
    {"3 ozt", U, 0},
    {"4.5 ct", U, 0},
    {"10 GN", U, 0},
    {"1.2 tl", U, 0},
    {"3 mom", U, 0},
    {"9.81 N", U, 0},
    {"2 pcs", U, 0},
    // No mass at all.
    {"OL,GS,         OL  g  ", S, 0, raison::surcharge},
    {"         OL g   ", S, 0, raison::surcharge},
    {"^^^^^^kg", S, 0, raison::surcharge},
    {"GROSS         OLkg ", S, 0, raison::surcharge},
    {"  -OLg", S, 0, raison::surcharge},
    {"______kg", S, 0, raison::souscharge},
    {"---------kg", S, 0, raison::souscharge},
    {"ST,GS, --------- g", S, 0, raison::souscharge},
    {"ERR 4", S, 0, raison::erreur},
    {"Err 7", S, 0, raison::erreur},
    {"E  4", S, 0, raison::erreur},
    {"Error: 12", S, 0, raison::erreur},
    {"ERR", S, 0, raison::erreur},
    // Noise: no figure at all.
    {"ERREUR", B, 0},
    {"E", B, 0},
    {"REPORT", B, 0},
    {"ST,GS,+", B, 0},
    // Figures, but not a weight line.
    {"No.         01", A, 0},
    {"No.      1", A, 0},
    {"Total    24.690 g", A, 0},
    {"Total   123.45 g ", A, 0},
    {"Date 11/12/2026", A, 0},
    {"Date: 23/09/04", A, 0},
    {"Time 10:15:32", A, 0},
    {"ID no.: 123456", A, 0},
    {"ID No: 123456", A, 0},
    {"Unit Wt. 123 g", A, 0},
    {"Wt. 1.234 Kg", A, 0},
    {"PCS 10 pcs", A, 0},
    {"Tare 0.000kg", A, 0},
    {"Serial 12345", A, 0},
    {"User 7", A, 0},
    {"1.2 - 3.4 kg", A, 0},
    {"  12.345 g  12.346 g", A, 0},
    {"  +12.345 g 67890123456", A, 0},
    {"1,234.5 g", A, 0},
    {"1 234.5 g", A, 0},
    {"12.5 g?", A, 0},
    {"12.5 xyz", A, 0},
    {"12.5 G", A, 0},
    {"E 4x", A, 0},
    {"ERR 4 5", A, 0},
    {"12,", A, 0},
    {",5 g", A, 0},
    {"STGS 12", A, 0},
    {"OLD 12 g", A, 0},
    {"Wt 12.5 g", A, 0},
    {"1.2.3", A, 0},
    {"1-2", A, 0},
};

INSTANTIATE_TEST_SUITE_P(Lignes, Grammaire, ::testing::ValuesIn(lignes));

TEST(Grammaire, ALineOverTheLimitIsNotAWeightLine)
{
    std::string t(lignemax - 10, ' ');
    t += "12.345 g";
    analyse a;
    analyseligne(t.data(), t.size(), a);
    EXPECT_EQ(a.sorte, genre::pesee);
    t.insert(0, std::string(lignemax - t.size() + 1, ' '));
    analyseligne(t.data(), t.size(), a);
    EXPECT_EQ(a.sorte, genre::autre);
}

TEST(Grammaire, KilogramsConvertOnceFromTheText)
{
    // Scaling the converted value would round twice: 1.015 * 1000 is not
    // the double nearest 1015.
    const std::string t = "ST,GS,+      1.015 kg";
    analyse a;
    analyseligne(t.data(), t.size(), a);
    double v = 0;
    ASSERT_TRUE(convertit(a.nombre, a.longueurnombre, v));
    EXPECT_EQ(v, 1015.0);
    volatile double kg = 1.015;
    EXPECT_NE(kg * 1000, 1015.0);
}

}  // namespace
