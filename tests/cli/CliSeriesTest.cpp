// The kerma of a series as typed or read from a CSV, and the response a
// linearised analysis reads: what they accept, and the message of what they
// refuse.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/EvenorError.h"
#include "qa/SeriesRun.h"
#include "tests/support/TempFolder.h"

namespace evenor::test {
namespace {

using test::TempFolder;

void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

TEST(SeriesKerma, ListAndCsvGiveOneKermaPerFileOrSayWhyNot)
{
    const std::vector<std::string> files{"/data/a/k1.dcm", "/data/b/k1.dcm", "/data/b/k2.dcm"};
    struct Case {
        const char* Csv;
        std::vector<double> Want;  // empty: refused
        const char* Problem;
    };
    const Case cases[] = {
        // A header, CR LF, names matched by their path first, then by name.
        {"file,kerma_uGy\r\n/data/a/k1.dcm,1\r\n/data/b/k1.dcm,2.5\r\nk2.dcm, 10\r\n", {1.0, 2.5, 10.0}, ""},
        // Two lines name k1.dcm: a FILE given by a path no line has is ambiguous.
        {"x/k1.dcm,1\ny/k1.dcm,2\nk2.dcm,3\n", {}, "several lines name k1.dcm; give /data/a/k1.dcm as FILE names it"},
        {"k2.dcm,3\n", {}, "no kerma for /data/a/k1.dcm"},
        {"file,kerma\nk1.dcm,1\nk2.dcm,-1\n", {}, "line 3: \"-1\" is not a kerma in µGy (a number, 0 or more)"},
        {"k1.dcm 1\n", {}, "line 1: FILE,KERMA is expected"},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        WriteText(folder / "kerma.csv", c.Csv);
        std::string problem;
        const auto kerma = ReadKermaCsv((folder / "kerma.csv").string(), files, problem);
        SCOPED_TRACE(c.Csv);
        EXPECT_EQ(kerma.has_value(), !c.Want.empty());
        if (kerma) EXPECT_EQ(*kerma, c.Want);
        EXPECT_EQ(problem, c.Problem);
    }

    std::string problem;
    EXPECT_EQ(ParseKermaList("1, 2.5,0", 3, problem), (std::vector<double>{1.0, 2.5, 0.0}));
    EXPECT_FALSE(ParseKermaList("1,2", 3, problem));
    EXPECT_EQ(problem, "2 values for 3 images");
    EXPECT_FALSE(ParseKermaList("1,2,nan", 3, problem));
    EXPECT_EQ(problem, "\"nan\" is not a kerma in µGy (a number, 0 or more)");
}

TEST(SeriesResponseFile, EachModelIsReadBackAndAnUnusableResponseIsRefused)
{
    struct Case {
        const char* Json;
        const char* Refusal;  // empty: read
        double KermaOf1000;   // the inverse of the response read, at pixel value 1000
    };
    const Case cases[] = {
        {R"({"kind":"series","detector":"D","response":{"model":"linear","coefficients":{"offset":100,"slope":20}}})",
         "", 45.0},
        {R"({"kind":"series","response":{"model":"log","coefficients":{"offset":1000,"slope_per_ln_uGy":300}}})", "",
         1.0},
        {R"({"kind":"series","response":{"model":"power","coefficients":{"factor":10,"exponent":2}}})", "", 10.0},
        {R"({"kind":"series","response":null})", "holds no response", 0},
        {R"({"schema_version":2})", "not the JSON of a series", 0},
        {R"({"kind":"series","response":{"model":"linear","coefficients":{"offset":100,"slope":0}}})", "no inverse", 0},
        {R"({"kind":"series","response":{"model":"linear","coefficients":{"offset":100}}})", "lacks slope", 0},
        {"not json", "not a JSON document", 0},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Json);
        WriteText(folder / "response.json", c.Json);
        const std::string path = (folder / "response.json").string();
        if (*c.Refusal != '\0') {
            try {
                ReadSeriesResponse(path);
                ADD_FAILURE() << "read";
            } catch (const EvenorError& e) {
                EXPECT_NE(std::string(e.what()).find(c.Refusal), std::string::npos) << e.what();
            }
            continue;
        }
        const SeriesResponse response = ReadSeriesResponse(path);
        EXPECT_NEAR(response.Fit.Kerma(1000.0), c.KermaOf1000, 1e-9);
    }
}

}  // namespace
}  // namespace evenor::test
