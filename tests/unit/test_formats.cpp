// The balances' real output, byte for byte from tests/fixtures: each line
// through the grammar, and each file through the reading unit, against what
// the manifest says every line is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fake_serial.h"
#include "reading/lecture.h"
#include "reading/pesee.h"
#include "serial/ucommw32.h"

namespace {

using nlohmann::json;

struct Ligne {
    std::string fichier;
    std::string octets;  // as sent: framing, text, CR LF
    std::string texte;
    std::string sorte;
    std::string masse;
};

const json& manifeste()
{
    static const json m = [] {
        std::ifstream f(PONDIX_FIXTURES "/formats.json");
        return json::parse(f);
    }();
    return m;
}

std::vector<Ligne> lignes(const std::string& fichier)
{
    std::vector<Ligne> out;
    for (const auto& l : manifeste()["files"][fichier]["lines"]) {
        Ligne x{fichier, "", l["text"], l["kind"], l.value("mass", "")};
        for (const char* cote : {"before", "after"}) {
            const std::string cadre = l.value(cote, "");
            x.octets += cote == std::string("before") ? cadre + x.texte + "\r\n" : cadre;
        }
        out.push_back(x);
    }
    return out;
}

std::vector<std::string> fichiers()
{
    std::vector<std::string> f;
    for (const auto& [nom, _] : manifeste()["files"].items())
        f.push_back(nom);
    return f;
}

std::string contenu(const std::string& fichier)
{
    std::ifstream f(std::string(PONDIX_FIXTURES "/") + fichier, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

class Format : public ::testing::TestWithParam<std::string> {};

TEST_P(Format, TheManifestDescribesTheFileByteForByte)
{
    std::string attendu;
    for (const auto& l : lignes(GetParam()))
        attendu += l.octets;
    EXPECT_EQ(contenu(GetParam()), attendu);
}

TEST_P(Format, EachLineIsWhatTheManifestSays)
{
    for (const auto& l : lignes(GetParam())) {
        analyse a;
        analyseligne(l.texte.data(), l.texte.size(), a);
        SCOPED_TRACE(l.fichier + ": \"" + l.texte + "\"");
        if (l.sorte == "mass") {
            ASSERT_EQ(a.sorte, genre::pesee);
            double v = 0;
            ASSERT_TRUE(convertit(a.nombre, a.longueurnombre, v));
            EXPECT_EQ(v, std::strtod(l.masse.c_str(), nullptr));
        } else if (l.sorte == "other-unit") {
            EXPECT_EQ(a.sorte, genre::autreunite);
        } else if (l.sorte == "no-mass") {
            EXPECT_EQ(a.sorte, genre::sansmasse);
        } else if (l.sorte == "not-weight") {
            EXPECT_EQ(a.sorte, genre::autre);
        } else {
            ASSERT_EQ(l.sorte, "blank");
            EXPECT_EQ(a.sorte, genre::bruit);
        }
    }
}

// What the mass channels answer after each line, by the rules read forward:
// nullopt for -777.
std::vector<std::optional<double>> attendues(const std::vector<Ligne>& ls)
{
    std::optional<double> lu = 0.0;
    std::vector<std::optional<double>> out;
    for (const auto& l : ls) {
        // Fragments of 5 characters or fewer count only to say "no mass".
        if (l.texte.size() > 5 || l.sorte == "no-mass") {
            if (l.sorte == "mass")
                lu = std::strtod(l.masse.c_str(), nullptr);
            else if (l.sorte == "other-unit" || l.sorte == "no-mass")
                lu.reset();
        }
        out.push_back(lu);
    }
    return out;
}

std::optional<double> lue()
{
    double g;
    if (masse(g))
        return g;
    return std::nullopt;
}

void chargee()
{
    fakeserial::reinitialise();
    reinitialiselecture();
    fakeserial::recoit("\r\n");
    lecture();
}

TEST_P(Format, ReadLineByLine)
{
    const auto ls = lignes(GetParam());
    const auto att = attendues(ls);
    chargee();
    for (std::size_t i = 0; i < ls.size(); ++i) {
        fakeserial::recoit(ls[i].octets);
        lecture();
        EXPECT_EQ(lue(), att[i]) << GetParam() << " after \"" << ls[i].texte << '"';
    }
}

TEST_P(Format, ReadWholeOrInSmallBlocks)
{
    const auto ls = lignes(GetParam());
    const auto fin = attendues(ls).back();
    for (std::uint32_t bloc : {tailletampon, 7u, 1u}) {
        chargee();
        fakeserial::taillebloc(bloc);
        fakeserial::recoit(contenu(GetParam()));
        lecture();
        EXPECT_EQ(lue(), fin) << GetParam() << " in blocks of " << bloc;
    }
}

INSTANTIATE_TEST_SUITE_P(Fichiers, Format, ::testing::ValuesIn(fichiers()),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

}  // namespace
