#include "ui/qt/window_title.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>

#if defined(COUNTRYSET_HAVE_XCB) && QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#define COUNTRYSET_EMPTY_X11_TITLE 1
#endif

namespace countryset {

namespace {

bool PlatformKeepsEmptyTitles() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

#ifdef COUNTRYSET_EMPTY_X11_TITLE
xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr) {
        return XCB_ATOM_NONE;
    }
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// Qt has written WM_NAME empty and _NET_WM_NAME with the application name; both become empty.
bool ClearX11Title(QWidget& window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) {
        return false;
    }
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t netWmName = Atom(connection, "_NET_WM_NAME");
    const xcb_atom_t utf8 = Atom(connection, "UTF8_STRING");
    if (netWmName == XCB_ATOM_NONE || utf8 == XCB_ATOM_NONE) {
        return false;
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, netWmName, utf8, 8, 0, nullptr);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        0, nullptr);
    xcb_flush(connection);
    return true;
}
#endif

}  // namespace

void SetExactWindowTitle(QWidget& window, const QString& caption) {
    window.setWindowTitle(caption);
    if (!caption.isEmpty() || PlatformKeepsEmptyTitles()) {
        return;
    }
#ifdef COUNTRYSET_EMPTY_X11_TITLE
    if (QGuiApplication::platformName() == QLatin1String("xcb") && ClearX11Title(window)) {
        return;
    }
#endif
    window.setWindowTitle(QStringLiteral(" "));
}

}  // namespace countryset
