// Host threads that poll at the same time: the real reading and serial
// units over the fake kernel32, while the balance streams. Run under
// ThreadSanitizer too, which fails the test on any data race.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "fake_kernel32.h"
#include "reading/lecture.h"
#include "serial/ucommw32.h"

namespace {

// The hundredths carry a check on the whole grams, so that a line spliced
// from two lines reads as a mass that was never sent.
std::string ligne(int n)
{
    char t[32];
    std::snprintf(t, sizeof t, "  +%d.%02d g\r\n", n, (n * 7 + 3) % 100);
    return t;
}

bool envoyee(double g, int plafond)
{
    const double entier = std::floor(g);
    const int n = static_cast<int>(entier);
    const int centiemes = static_cast<int>(std::lround((g - entier) * 100));
    return n >= 1 && n <= plafond && centiemes == (n * 7 + 3) % 100;
}

TEST(Concurrence, PollsFromTwoThreadsNeverSpliceLinesNorGoBack)
{
    fermecom();
    fakekernel32::reinitialise();
    nomport = "Com5:";
    modeport = "baud=9600 parity=n data=8 stop=1";
    fakekernel32::etat().journalise = false;
    ASSERT_TRUE(ouvrecom());
    reinitialiselecture();

    constexpr int lignes = 3000;
    std::atomic<bool> fini{false};
    std::thread balance([&] {
        // Lines cut in two, as they arrive between polls.
        for (int n = 1; n <= lignes; ++n) {
            const std::string l = ligne(n);
            fakekernel32::recoit(l.substr(0, 5));
            std::this_thread::yield();
            fakekernel32::recoit(l.substr(5));
        }
        fini = true;
    });
    auto hote = [&](std::vector<std::string>* fautes) {
        double precedent = 0.0;
        while (!fini) {
            lecture();
            double g;
            if (!masse(g)) {
                fautes->push_back("no mass");
                continue;
            }
            if (g == 0.0)
                continue;
            if (!envoyee(g, lignes))
                fautes->push_back("never sent: " + std::to_string(g));
            else if (g < precedent)
                fautes->push_back("went back: " + std::to_string(g));
            precedent = g;
        }
    };
    std::vector<std::string> fautes1, fautes2;
    std::thread hote1(hote, &fautes1), hote2(hote, &fautes2);
    balance.join();
    hote1.join();
    hote2.join();
    EXPECT_TRUE(fautes1.empty()) << fautes1.front();
    EXPECT_TRUE(fautes2.empty()) << fautes2.front();
    // The last line is read once the streaming stops.
    lecture();
    double g;
    ASSERT_TRUE(masse(g));
    EXPECT_TRUE(envoyee(g, lignes) && std::floor(g) == lignes) << g;
}

}  // namespace
