// A window of another program for the single-instance tests: maps one top-level window with the title given as
// argument (as _NET_WM_NAME in UTF-8 and as WM_NAME; only as WM_NAME, as older programs do, with "--wm-name") and
// keeps it until it is killed.
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <xcb/xcb.h>

int main(int argc, char** argv)
{
    const bool wmNameOnly = argc == 3 && std::strcmp(argv[2], "--wm-name") == 0;
    if (argc != 2 && !wmNameOnly) {
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c,
                      XCB_COPY_FROM_PARENT,
                      w,
                      screen->root,
                      10,
                      10,
                      200,
                      100,
                      0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual,
                      0,
                      nullptr);
    const auto intern = [c](const char* name) {
        auto* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply->atom;
        std::free(reply);
        return a;
    };
    const auto length = static_cast<uint32_t>(std::strlen(argv[1]));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, length, argv[1]);
    if (!wmNameOnly) {
        xcb_change_property(
            c, XCB_PROP_MODE_REPLACE, w, intern("_NET_WM_NAME"), intern("UTF8_STRING"), 8, length, argv[1]);
    }
    xcb_map_window(c, w);
    xcb_flush(c);
    for (;;) {
        pause();
    }
}
