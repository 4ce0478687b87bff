// The serial unit against a fake kernel32: what it asks of the system, and
// what it makes of the answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_kernel32.h"
#include "serial/kernel32_api.h"
#include "serial/ucommw32.h"

namespace {

using fakekernel32::etat;

std::string texte(const bloc& b)
{
    return std::string(reinterpret_cast<const char*>(b.octets), b.nombre);
}

class Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        fermecom();
        fakekernel32::reinitialise();
        nomport = "Com5:";
        modeport = "baud=9600 parity=n data=8 stop=1";
        delai = 1000;
        // Far from the last test's attempts, whatever they were.
        etat().ticks = 0x40000000;
    }

    void ouvre()
    {
        ASSERT_TRUE(ouvrecom());
        etat().journal.clear();
    }

    int appels(const std::string& debut)
    {
        const auto& j = etat().journal;
        return static_cast<int>(std::count_if(j.begin(), j.end(), [&](const std::string& l) {
            return l.rfind(debut, 0) == 0;
        }));
    }
};

const std::vector<std::string> ouverture = {
    "CreateFileA(Com5:, 0xc0000000, 0, null, 3, 0x80, null)",
    "SetupComm(port1, 256, 256)",
    "GetCommState(port1, length 28)",
    // The record reaches the parser filled with the port's own settings.
    "BuildCommDCBA(baud=9600 parity=n data=8 stop=1, baud before 1200)",
    "SetCommState(port1, baud 9600, parity 0, data 8, stop 0)",
    "SetCommTimeouts(port1, 0, 0, 1000, 0, 1000)",
};

TEST_F(Port, OpenSequenceAsksForTheConfiguredPort)
{
    etat().journalise = true;
    EXPECT_TRUE(ouvrecom());
    EXPECT_EQ(etat().journal, ouverture);
    EXPECT_TRUE(portouvert());
}

TEST_F(Port, MissingDeviceIsNotConfiguredAndNeverQueried)
{
    etat().peripherique = false;
    EXPECT_FALSE(ouvrecom());
    EXPECT_EQ(etat().journal.size(), 1u);
    EXPECT_FALSE(portouvert());
    const bloc b = litbloc();
    EXPECT_EQ(b.etat, verdict::perdu);
    EXPECT_EQ(appels("ClearCommError"), 0);
}

struct Refus {
    const char* fonction;
    etape e;
};

void PrintTo(const Refus& r, std::ostream* os)
{
    *os << r.fonction;
}

class EtapeRefusee : public Port, public ::testing::WithParamInterface<Refus> {};

TEST_P(EtapeRefusee, ClosesThePortAndTriesAgainLater)
{
    etat().echecs[GetParam().fonction] = 1;
    EXPECT_FALSE(ouvrecom());
    EXPECT_EQ(echecouverture, GetParam().e);
    EXPECT_EQ(erreurouverture, 31u);
    EXPECT_FALSE(portouvert());
    EXPECT_EQ(etat().journal.back(), "CloseHandle(port1)");
    // Never read at settings nobody asked for.
    EXPECT_EQ(litbloc().etat, verdict::perdu);
    etat().ticks += intervalleouverture;
    EXPECT_TRUE(rouvrecom());
    EXPECT_EQ(appels("CreateFileA"), 2);
    EXPECT_EQ(echecouverture, etape::aucune);
}

INSTANTIATE_TEST_SUITE_P(Etapes, EtapeRefusee,
                         ::testing::Values(Refus{"SetupComm", etape::files},
                                           Refus{"GetCommState", etape::lecture},
                                           Refus{"SetCommState", etape::reglage},
                                           Refus{"SetCommTimeouts", etape::delais}));

TEST_F(Port, AnAbsentOrBusyPortSaysWhy)
{
    etat().peripherique = false;
    EXPECT_FALSE(ouvrecom());
    EXPECT_EQ(echecouverture, etape::creation);
    EXPECT_EQ(erreurouverture, 2u);
    etat().peripherique = true;
    etat().occupe = true;
    EXPECT_FALSE(ouvrecom());
    EXPECT_EQ(erreurouverture, 5u);
    EXPECT_EQ(appels("CloseHandle"), 0);
}

TEST_F(Port, RefusedModeIsNeverTriedAgain)
{
    modeport = "baud=9600 parity=q";
    EXPECT_FALSE(ouvrecom());
    EXPECT_EQ(echecouverture, etape::mode);
    EXPECT_EQ(erreurouverture, 87u);
    EXPECT_EQ(etat().journal.back(), "CloseHandle(port1)");
    etat().ticks += 10 * intervalleouverture;
    EXPECT_FALSE(rouvrecom());
    EXPECT_EQ(appels("CreateFileA"), 1);
}

class Espacement : public Port, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(Espacement, AttemptsAreASecondApartAcrossTheTickWrap)
{
    etat().ticks = GetParam();
    etat().pas = 0;
    etat().peripherique = false;
    EXPECT_FALSE(ouvrecom());
    std::vector<std::uint32_t> essais;
    // The host polls every 10 ms for 3.5 s.
    for (std::uint32_t t = 0; t < 3500; t += 10) {
        etat().ticks = GetParam() + t;
        const auto avant = appels("CreateFileA");
        rouvrecom();
        if (appels("CreateFileA") > avant)
            essais.push_back(t);
    }
    EXPECT_EQ(essais, (std::vector<std::uint32_t>{1000, 2000, 3000}));
}

INSTANTIATE_TEST_SUITE_P(Depart, Espacement,
                         ::testing::Values(0u, 0xFFFFFC00u, 0xFFFFFFFFu));

TEST_F(Port, ReopenAfterALossHasTheFullConfigurationOnANewHandle)
{
    ouvre();
    fakekernel32::debranche();
    EXPECT_EQ(litbloc().etat, verdict::perdu);
    EXPECT_EQ(etat().journal, (std::vector<std::string>{"ClearCommError(port1)",
                                                         "CloseHandle(port1)"}));
    EXPECT_FALSE(portouvert());
    etat().journal.clear();
    etat().ticks += intervalleouverture;
    EXPECT_FALSE(rouvrecom());  // still unplugged
    fakekernel32::rebranche();
    etat().ticks += intervalleouverture;
    etat().journal.clear();
    EXPECT_TRUE(rouvrecom());
    std::vector<std::string> attendu = ouverture;
    for (auto& l : attendu)
        if (auto at = l.find("port1"); at != std::string::npos)
            l.replace(at, 5, "port2");
    EXPECT_EQ(etat().journal, attendu);
}

TEST_F(Port, NothingWaitingCostsOneQuery)
{
    ouvre();
    const bloc b = litbloc();
    EXPECT_EQ(b.etat, verdict::propre);
    EXPECT_EQ(b.nombre, 0u);
    EXPECT_TRUE(b.dernier);
    EXPECT_EQ(etat().journal, std::vector<std::string>{"ClearCommError(port1)"});
}

TEST_F(Port, WaitingBytesComeInOneRead)
{
    ouvre();
    fakekernel32::recoit("  +12.345 g\r\n");
    bloc b = litbloc();
    EXPECT_EQ(texte(b), "  +12.345 g\r\n");
    EXPECT_EQ(b.etat, verdict::propre);
    EXPECT_FALSE(b.dernier);
    b = litbloc();
    EXPECT_EQ(b.nombre, 0u);
    EXPECT_TRUE(b.dernier);
    EXPECT_EQ(etat().journal, (std::vector<std::string>{
                                  "ClearCommError(port1)", "ReadFile(port1, 13)",
                                  "ClearCommError(port1)"}));
}

TEST_F(Port, MoreThanTheBufferComesInSeveralBlocks)
{
    ouvre();
    fakekernel32::recoit(std::string(tailletampon + 44, 'x'));
    EXPECT_EQ(litbloc().nombre, tailletampon);
    EXPECT_EQ(litbloc().nombre, 44u);
    EXPECT_TRUE(litbloc().dernier);
    EXPECT_EQ(appels("ReadFile(port1, 256)"), 1);
    EXPECT_EQ(appels("ReadFile(port1, 44)"), 1);
}

TEST_F(Port, CountedBytesThatNeverComeEndTheDrain)
{
    ouvre();
    fakekernel32::recoit("abc");
    etat().surplus = 70000;
    const bloc b = litbloc();
    EXPECT_EQ(texte(b), "abc");
    EXPECT_TRUE(b.dernier);
    EXPECT_EQ(appels("ReadFile(port1, 256)"), 1);
}

struct Erreur {
    DWORD drapeau;
    bool gate;
};

void PrintTo(const Erreur& e, std::ostream* os)
{
    *os << "flags 0x" << std::hex << e.drapeau;
}

class ErreurReception : public Port, public ::testing::WithParamInterface<Erreur> {};

TEST_P(ErreurReception, MakesTheBytesWaitingThenASuspectBlock)
{
    ouvre();
    fakekernel32::recoit("abc");
    etat().erreurs = GetParam().drapeau;
    const verdict attendu = GetParam().gate ? verdict::suspect : verdict::propre;
    bloc b = litbloc();
    EXPECT_EQ(texte(b), "abc");
    EXPECT_EQ(b.etat, attendu);
    fakekernel32::recoit("d");
    b = litbloc();
    EXPECT_EQ(texte(b), "d");
    EXPECT_EQ(b.etat, verdict::propre);
}

INSTANTIATE_TEST_SUITE_P(Drapeaux, ErreurReception,
                         ::testing::Values(Erreur{CE_RXOVER, true}, Erreur{CE_OVERRUN, true},
                                           Erreur{CE_RXPARITY, true}, Erreur{CE_FRAME, true},
                                           Erreur{CE_BREAK, false}, Erreur{0, false}));

TEST_F(Port, ReceiveErrorWithNothingWaitingIsAnEmptySuspectBlock)
{
    ouvre();
    etat().erreurs = CE_FRAME;
    const bloc b = litbloc();
    EXPECT_EQ(b.etat, verdict::suspect);
    EXPECT_EQ(b.nombre, 0u);
}

TEST_F(Port, SuspectBytesBeyondTheBufferStaySuspectAndStopAtTheirEnd)
{
    ouvre();
    fakekernel32::recoit(std::string(tailletampon + 10, 's'));
    etat().erreurs = CE_OVERRUN;
    bloc b = litbloc();
    EXPECT_EQ(b.nombre, tailletampon);
    EXPECT_EQ(b.etat, verdict::suspect);
    // Clean bytes arrive behind the last suspect one: never in its block.
    fakekernel32::recoit("cc");
    b = litbloc();
    EXPECT_EQ(texte(b), std::string(10, 's'));
    EXPECT_EQ(b.etat, verdict::suspect);
    EXPECT_FALSE(b.dernier);
    b = litbloc();
    EXPECT_EQ(texte(b), "cc");
    EXPECT_EQ(b.etat, verdict::propre);
}

class Perte : public Port, public ::testing::WithParamInterface<const char*> {};

TEST_P(Perte, AFailedQueryOrReadClosesThePortAtOnce)
{
    ouvre();
    fakekernel32::recoit("abc");
    etat().echecs[GetParam()] = 1;
    const bloc b = litbloc();
    EXPECT_EQ(b.etat, verdict::perdu);
    EXPECT_TRUE(b.dernier);
    EXPECT_FALSE(portouvert());
    EXPECT_EQ(etat().journal.back(), "CloseHandle(port1)");
    // The closed handle is never used again.
    etat().journal.clear();
    EXPECT_EQ(litbloc().etat, verdict::perdu);
    EXPECT_TRUE(etat().journal.empty());
}

INSTANTIATE_TEST_SUITE_P(Appels, Perte, ::testing::Values("ClearCommError", "ReadFile"));

TEST_F(Port, CloseReleasesThePortOnce)
{
    ouvre();
    fermecom();
    fermecom();
    EXPECT_EQ(appels("CloseHandle(port1)"), 1);
    EXPECT_FALSE(portouvert());
    EXPECT_TRUE(ouvrecom());
}

}  // namespace
