// How far a control whose text is wider than its template allows (the system's font is wider
// than the one the template was drawn for) may grow to the right, the same in every presenter.
#pragma once

#include <vector>

namespace countryset {

// Gaps kept when a control grows, in dialog units.
inline constexpr int kGapToNeighbour = 2;
inline constexpr int kGroupInnerMargin = 3;
inline constexpr int kDialogMargin = 4;

// A control's place in pixels; right and bottom are just outside it.
struct Box {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The pixel widths of the gaps above, in the presenter's font.
struct GrowGaps {
    int dialogRight = 0;  // the dialog's width less its margin
    int groupInner = 0;
    int neighbour = 0;
};

// The right edge `self` may grow to: the dialog's margin, the inner edge of the group box its
// top left corner lies in, and the next control to its right in its band, whichever is
// nearest; never left of its own right edge. Groups and neighbours are the visible ones.
int GrowLimit(const Box& self, const std::vector<Box>& groups, const std::vector<Box>& neighbours,
              const GrowGaps& gaps);

}  // namespace countryset
