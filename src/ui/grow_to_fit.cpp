#include "ui/grow_to_fit.h"

#include <algorithm>

namespace countryset {

int GrowLimit(const Box& self, const std::vector<Box>& groups, const std::vector<Box>& neighbours,
              const GrowGaps& gaps) {
    int limit = gaps.dialogRight;
    for (const Box& group : groups) {
        if (self.left >= group.left && self.left < group.right && self.top >= group.top &&
            self.top < group.bottom) {
            limit = std::min(limit, group.right - gaps.groupInner);
        }
    }
    for (const Box& other : neighbours) {
        const bool sameBand = other.top < self.bottom && self.top < other.bottom;
        if (sameBand && other.left >= self.right) {
            limit = std::min(limit, other.left - gaps.neighbour);
        }
    }
    return std::max(limit, self.right);
}

}  // namespace countryset
