// The code table that names what a modem holds when the settings file does not.
#include "app/t35_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/run_outcome.h"

namespace countryset::testing {
namespace {

using ::testing::ElementsAre;

TEST(T35TableTest, NamesEveryCodeOnceWithTodaysNames) {
    const auto table = T35Countries();
    EXPECT_GT(table.size(), 190u);
    for (std::size_t i = 1; i < table.size(); ++i) {
        EXPECT_LT(table[i - 1].code, table[i].code) << table[i].name;  // ascending, no doubles
    }
    // The codes a modem that reads hex letters as digits ends up holding, and where they came from.
    const std::pair<std::uint8_t, const char*> known[] = {
        {0x00, "Japan"},         {0x0A, "Austria"},
        {0x15, "Botswana"},      {0x33, "Dominican Republic"},
        {0x3D, "France"},        {0x54, "Indonesia"},
        {0xB5, "United States"}, {0xFE, "Taiwan"},
        {0x1E, "Belarus"},
    };
    for (const auto& [code, name] : known) {
        EXPECT_EQ(T35Name(code), name) << T35CodeText(code);
    }
    // FF announces an extension byte; codes between the two ranges are no one's.
    EXPECT_EQ(T35Name(0xFF), std::nullopt);
    EXPECT_EQ(T35Name(0xD0), std::nullopt);
    for (const auto& entry : table) {
        for (const char* old : {"U.S.S.R.", "Zaire", "Byelorussia", "Western Samoa", "Swaziland"}) {
            // A former state may be mentioned, never be the name.
            EXPECT_FALSE(entry.name.starts_with(old)) << entry.name;
        }
    }
    EXPECT_THAT(T35Codes("germany"), ElementsAre(0x04, 0x42));
    EXPECT_THAT(T35Codes("Yemen"), ElementsAre(0xBF, 0xC0));
    EXPECT_EQ(T35CodeText(0x0A), "0A");
}

TEST(T35TableTest, SettingsNamesWinAndAliasesAreJoined) {
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"Deutschland", "42"}, {"Allemagne", "42"}, {"Odd", "zz"}, {"Frankreich", "3d"}};
    EXPECT_EQ(NameOfCode(0x42, listed).name, "Deutschland / Allemagne");
    EXPECT_TRUE(NameOfCode(0x3D, listed).inSettings);
    EXPECT_EQ(NameOfCode(0x3D, listed).name, "Frankreich");  // the file's spelling of the code
    const NamedCode fromTable = NameOfCode(0x33, listed);
    EXPECT_EQ(fromTable.name, "Dominican Republic");
    EXPECT_FALSE(fromTable.inSettings);
    EXPECT_EQ(NameOfCode(0xFF, listed).name, "");
}

}  // namespace
}  // namespace countryset::testing
