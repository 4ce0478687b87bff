// The ini file beside the module: where it is looked for, and what its
// [port] keys change.
#include <gtest/gtest.h>

#include <string>

#include "fake_kernel32.h"
#include "serial/reglages.h"
#include "serial/ucommw32.h"

namespace {

struct Chemin {
    const char* module;
    const char* ini;
};

void PrintTo(const Chemin& c, std::ostream* os)
{
    *os << c.module;
}

class CheminIni : public ::testing::TestWithParam<Chemin> {};

TEST_P(CheminIni, SameFolderAndNameWithIniExtension)
{
    char ini[64];
    ASSERT_TRUE(cheminini(GetParam().module, ini, sizeof ini));
    EXPECT_STREQ(ini, GetParam().ini);
}

INSTANTIATE_TEST_SUITE_P(Modules, CheminIni,
                         ::testing::Values(Chemin{"C:\\lab\\pondix5.dll", "C:\\lab\\pondix5.ini"},
                                           Chemin{"C:\\my.lab\\pondix1", "C:\\my.lab\\pondix1.ini"},
                                           Chemin{"C:\\lab\\POND.IX5.DLL", "C:\\lab\\POND.IX5.ini"},
                                           Chemin{"pondix5.dll", "pondix5.ini"}));

TEST(CheminIni, APathThatDoesNotFitIsRefused)
{
    char ini[16];
    EXPECT_TRUE(cheminini("C:\\pondix55.dll", ini, sizeof ini));  // 15 characters and the zero
    EXPECT_FALSE(cheminini("C:\\pondix555.dll", ini, sizeof ini));
}

struct Reglage {
    const char* nom;   // nullptr: no such key
    const char* mode;
    const char* nomattendu;
    const char* modeattendu;
};

void PrintTo(const Reglage& r, std::ostream* os)
{
    *os << (r.nom ? r.nom : "(no name)") << " / " << (r.mode ? r.mode : "(no mode)");
}

class Reglages : public ::testing::TestWithParam<Reglage> {};

constexpr const char* ini = "C:\\lab\\pondix5.ini";

TEST_P(Reglages, KeysFoundReplaceTheBuildValues)
{
    fakekernel32::reinitialise();
    nomport = "Com5:";
    modeport = "baud=9600 parity=n data=8 stop=1";
    auto& f = fakekernel32::etat().ini[ini];
    if (GetParam().nom)
        f["port/name"] = GetParam().nom;
    if (GetParam().mode)
        f["port/mode"] = GetParam().mode;
    const bool cle = (GetParam().nom && *GetParam().nom) || (GetParam().mode && *GetParam().mode);
    EXPECT_EQ(litreglages(ini), cle);
    EXPECT_STREQ(nomport, GetParam().nomattendu);
    EXPECT_STREQ(modeport, GetParam().modeattendu);
}

constexpr const char* defautmode = "baud=9600 parity=n data=8 stop=1";

INSTANTIATE_TEST_SUITE_P(
    Fichiers, Reglages,
    ::testing::Values(Reglage{nullptr, nullptr, "Com5:", defautmode},
                      Reglage{"COM7", nullptr, "\\\\.\\COM7", defautmode},
                      Reglage{"COM12", "baud=4800 parity=n data=8 stop=1", "\\\\.\\COM12",
                              "baud=4800 parity=n data=8 stop=1"},
                      Reglage{"COM3:", nullptr, "\\\\.\\COM3", defautmode},
                      Reglage{"\\\\.\\COM20", nullptr, "\\\\.\\COM20", defautmode},
                      Reglage{"", "", "Com5:", defautmode},
                      Reglage{nullptr, "baud=1200 parity=e data=7 stop=1", "Com5:",
                              "baud=1200 parity=e data=7 stop=1"}));

TEST(Reglages, NoFileChangesNothing)
{
    fakekernel32::reinitialise();
    nomport = "Com1:";
    modeport = defautmode;
    EXPECT_FALSE(litreglages("C:\\nowhere\\pondix1.ini"));
    EXPECT_STREQ(nomport, "Com1:");
    EXPECT_STREQ(modeport, defautmode);
}

}  // namespace
