// Icons as values: which icon resource, and where its pictures lie for presenters that draw.
#pragma once

#include <string>

namespace countryset {

inline constexpr int IDR_MAINFRAME = 128;  // the program icon

struct Icon {
    int id = 0;           // 0: no icon
    std::string name;     // theme name, also the base name of the files under data/icons/
    std::string svgPath;  // relative to the data folder

    bool IsNull() const { return id == 0; }
    friend bool operator==(const Icon&, const Icon&) = default;
};

// The icon resource with this id; a null icon for an unknown id.
Icon LoadIcon(int iconId);

}  // namespace countryset
