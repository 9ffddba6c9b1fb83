// Icon resources as Qt icons: the pictures under data/icons/ are built into the program.
#pragma once

#include <QIcon>

#include "ui/icon.h"

namespace countryset {

// Icon resource 128 in every size it comes in.
QIcon ProgramIcon();
// The pictures of an icon resource; a null QIcon for a null or unknown icon.
QIcon ToQIcon(const Icon& icon);
// One window icon from the icons a window recorded: the large one's pictures for large sizes,
// the small one's for title bars and task lists. Null when neither was set.
QIcon WindowIcon(const Icon& bigIcon, const Icon& smallIcon);

}  // namespace countryset
