// Computer names: own entries before prefixes, the concise name, images, and the shipped table.
#include <gtest/gtest.h>

#include "controlapp/ui/KLTComputerModels.h"

namespace kl {
namespace {

Value table() {
    return Value(Dictionary{
        {"Names", Value(Dictionary{{"MacBookPro", "MacBook Pro"},
                                   {"MacBookPro18,1", "MacBook Pro (16-inch, 2021)"},
                                   {"Weird", "(Prototype) board"}})},
        {"GenericNames", Value(Array{Value("MacBookPro"), Value("iMac")})},
        {"Images", Value(Dictionary{{"MacBookPro", "laptop"}, {"MacBookPro18,1", "laptop16"}})},
    });
}

TEST(ComputerModels, NamesAndImagesByOwnEntryThenPrefixThenFallback) {
    KLTComputerModels::setTable(table());
    struct Case {
        const char *model, *name, *concise, *image;
    };
    const Case cases[] = {
        {"MacBookPro18,1", "MacBook Pro (16-inch, 2021)", "MacBook Pro ", "laptop16"},  // own entry beats the prefix
        {"MacBookPro11,5", "MacBook Pro", "MacBook Pro", "laptop"},                     // by prefix
        {"iMac20,1", "Unidentified Computer iMac20,1", "Unidentified Computer iMac20,1", "generic"},  // prefix, no entry
        {"Weird", "(Prototype) board", "(Prototype) board", "generic"},  // starts with "(": kept whole
        {"", "Unidentified Computer ", "Unidentified Computer ", "generic"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KLTComputerModels::stringWithComputerModel(c.model), c.name) << c.model;
        EXPECT_EQ(KLTComputerModels::conciseStringWithComputerModel(c.model), c.concise) << c.model;
        EXPECT_EQ(KLTComputerModels::imageNameWithComputerModel(c.model), c.image) << c.model;
    }
}

TEST(ComputerModels, TheShippedTableLoadsAndNamesLinuxProducts) {
    ASSERT_TRUE(KLTComputerModels::loadTable(std::string(KL_SOURCE_DIR) + "/src/controlapp/ui/ComputerModels.plist"));
    EXPECT_EQ(KLTComputerModels::stringWithComputerModel("ThinkPad X1 Carbon Gen 9"), "ThinkPad Laptop");
    EXPECT_EQ(KLTComputerModels::conciseStringWithComputerModel("Standard PC (Q35 + ICH9, 2009)"), "Virtual Machine ");
    EXPECT_FALSE(KLTComputerModels::loadTable("/nonexistent/ComputerModels.plist"));
    // A table that is not a dictionary empties the names.
    KLTComputerModels::setTable(Value("not a table"));
    EXPECT_EQ(KLTComputerModels::imageNameWithComputerModel("ThinkPad"), "generic");
}

}  // namespace
}  // namespace kl
