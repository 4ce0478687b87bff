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

class Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        fermecom();
        fakekernel32::reinitialise();
        nomport = "Com5:";
        modeport = "baud=9600 parity=n data=8 stop=1";
        delai = 1000;
    }

    void ouvre()
    {
        ouvrecom();
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

TEST_F(Port, OpenSequenceAsksForTheConfiguredPort)
{
    ouvrecom();
    const std::vector<std::string> attendu = {
        "CreateFileA(Com5:, 0xc0000000, 0, null, 3, 0x80, null)",
        "SetupComm(port, 256, 256)",
        "GetCommState(port, length 28)",
        // The record reaches the parser filled with the port's own settings.
        "BuildCommDCBA(baud=9600 parity=n data=8 stop=1, baud before 1200)",
        "SetCommState(port, baud 9600, parity 0, data 8, stop 0)",
        "SetCommTimeouts(port, 0, 0, 1000, 0, 1000)",
    };
    EXPECT_EQ(etat().journal, attendu);
    EXPECT_TRUE(portpret());
}

TEST_F(Port, MissingDeviceStillRunsEveryStepAndNeverReportsBytes)
{
    etat().peripherique = false;
    ouvrecom();
    EXPECT_EQ(etat().journal.size(), 6u);
    EXPECT_EQ(etat().journal[5], "SetCommTimeouts(INVALID, 0, 0, 1000, 0, 1000)");
    fakekernel32::recoit("  +1.000 g\r\n");
    EXPECT_EQ(nbattente(), 0);
    EXPECT_FALSE(portpret());
}

struct Attente {
    std::uint32_t pilote;
    std::uint16_t rapporte;
};

void PrintTo(const Attente& a, std::ostream* os)
{
    *os << a.pilote << " queued";
}

class Compte : public Port, public ::testing::WithParamInterface<Attente> {};

TEST_P(Compte, WaitingCountSaturatesAt16Bits)
{
    ouvre();
    etat().surplus = GetParam().pilote;
    EXPECT_EQ(nbattente(), GetParam().rapporte);
}

INSTANTIATE_TEST_SUITE_P(Comptes, Compte,
                         ::testing::Values(Attente{0, 0}, Attente{300, 300},
                                           Attente{65535, 65535}, Attente{65536, 65535},
                                           Attente{70000, 65535}));

TEST_F(Port, WaitingByteIsReadAtOnce)
{
    ouvre();
    fakekernel32::recoit("AB");
    const std::uint32_t avant = etat().ticks;
    EXPECT_EQ(litoctet(), 'A');
    EXPECT_EQ(litoctet(), 'B');
    EXPECT_EQ(appels("ReadFile(port, 1)"), 2);
    EXPECT_LE(etat().ticks - avant, 2u);
}

class LigneMuette : public Port, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(LigneMuette, GivesUpAtTheFirstTickPastTheLimit)
{
    ouvre();
    etat().ticks = GetParam();
    // The driver counts a byte that no read delivers.
    etat().surplus = 1;
    EXPECT_EQ(litoctet(), pasdoctet);
    // The last tick read was the first more than 1000 ms after the start.
    EXPECT_EQ(etat().ticks - 1 - GetParam(), 1001u);
}

INSTANTIATE_TEST_SUITE_P(Depart, LigneMuette,
                         ::testing::Values(0u, 0xFFFFFC00u, 0xFFFFFFFFu));

struct Erreur {
    DWORD drapeau;
    bool gate;
};

void PrintTo(const Erreur& e, std::ostream* os)
{
    *os << "flags 0x" << std::hex << e.drapeau;
}

class ErreurReception : public Port, public ::testing::WithParamInterface<Erreur> {};

TEST_P(ErreurReception, MarksTheBytesQueuedAtTheFaultyQuery)
{
    ouvre();
    fakekernel32::recoit("abc");
    etat().erreurs = GetParam().drapeau;
    EXPECT_EQ(nbattente(), 3);
    EXPECT_EQ(prendrupture(), GetParam().gate);
    EXPECT_FALSE(prendrupture());
    for (char attendu : std::string("abc")) {
        EXPECT_EQ(litoctet(), attendu);
        EXPECT_EQ(octetdouteux(), GetParam().gate);
    }
    fakekernel32::recoit("d");
    EXPECT_EQ(litoctet(), 'd');
    EXPECT_FALSE(octetdouteux());
}

INSTANTIATE_TEST_SUITE_P(Drapeaux, ErreurReception,
                         ::testing::Values(Erreur{CE_RXOVER, true}, Erreur{CE_OVERRUN, true},
                                           Erreur{CE_RXPARITY, true}, Erreur{CE_FRAME, true},
                                           Erreur{CE_BREAK, false}, Erreur{0, false}));

TEST_F(Port, SuspectBytesStaySuspectAcrossAnOutage)
{
    ouvre();
    fakekernel32::recoit("ab");
    etat().erreurs = CE_OVERRUN;
    nbattente();
    etat().requeteok = false;
    nbattente();
    etat().requeteok = true;
    EXPECT_EQ(litoctet(), 'a');
    EXPECT_TRUE(octetdouteux());
    EXPECT_EQ(litoctet(), 'b');
    EXPECT_TRUE(octetdouteux());
}

TEST_F(Port, FailedStatusQueryMeansNoPortUntilOneSucceeds)
{
    ouvre();
    fakekernel32::recoit("xyz");
    etat().requeteok = false;
    EXPECT_EQ(nbattente(), 0);
    EXPECT_FALSE(portpret());
    // A read attempted meanwhile gives up at once.
    etat().surplus = 1;
    const std::uint32_t avant = etat().ticks;
    EXPECT_EQ(litoctet(), pasdoctet);
    EXPECT_LE(etat().ticks - avant, 1u);
    etat().surplus = 0;
    etat().requeteok = true;
    EXPECT_EQ(nbattente(), 3);
    EXPECT_TRUE(portpret());
}

TEST_F(Port, CloseReleasesThePortOnceAndStopsQueries)
{
    ouvre();
    fermecom();
    fermecom();
    EXPECT_EQ(appels("CloseHandle(port)"), 1);
    fakekernel32::recoit("abc");
    EXPECT_EQ(nbattente(), 0);
    EXPECT_EQ(appels("ClearCommError"), 0);
    EXPECT_FALSE(portpret());
    // The fake refuses a second open of a port still held.
    ouvrecom();
    EXPECT_TRUE(portpret());
}

}  // namespace
