// How far a text too wide for its template may grow, as both dialogs grow it.
#include "ui/grow_to_fit.h"

#include <gtest/gtest.h>

namespace countryset {
namespace {

// A label at (10,10)-(50,20) in a dialog of 200 pixels less 8 of margin; gaps of 6 inside a group
// and 4 before a neighbour.
TEST(GrowToFit, StopsAtTheNearestOfMarginGroupEdgeAndNeighbour) {
    const Box label{10, 10, 50, 20};
    const GrowGaps gaps{192, 6, 4};
    struct Case {
        const char* name;
        std::vector<Box> groups;
        std::vector<Box> neighbours;
        int limit;
    } const cases[] = {
        {"alone: the dialog's margin", {}, {}, 192},
        {"inside a group", {{5, 5, 120, 60}}, {}, 114},
        {"a group elsewhere", {{130, 5, 190, 60}}, {}, 192},
        {"a group it starts on the edge of", {{10, 10, 100, 40}}, {}, 94},
        {"a neighbour in its band", {}, {{80, 12, 150, 30}}, 76},
        {"a neighbour below its band", {}, {{80, 20, 150, 30}}, 192},
        {"a neighbour above its band", {}, {{80, 0, 150, 10}}, 192},
        {"a neighbour to its left", {}, {{0, 10, 9, 20}}, 192},
        {"the nearest of all", {{5, 5, 120, 60}}, {{100, 10, 110, 20}, {60, 15, 70, 25}}, 56},
        {"no room: its own width", {}, {{52, 10, 60, 20}}, 50},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GrowLimit(label, c.groups, c.neighbours, gaps), c.limit) << c.name;
    }
}

}  // namespace
}  // namespace countryset
