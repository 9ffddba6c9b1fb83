// Window titles exactly as the program passes them. Window systems' Qt platforms put the
// application name into an empty title; an empty caption must stay empty.
#pragma once

#include <QString>

class QWidget;

namespace countryset {

// Sets the title of the top-level window. On X11 an empty title is written to the window's
// properties directly (this creates the native window); on other window systems it becomes a
// single space, the nearest a title bar can show to nothing.
void SetExactWindowTitle(QWidget& window, const QString& caption);

}  // namespace countryset
