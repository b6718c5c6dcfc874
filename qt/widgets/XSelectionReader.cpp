#include "qt/widgets/XSelectionReader.h"

#include <QGuiApplication>

#ifdef ZARVO_HAVE_XCB
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <xcb/xcb.h>
#endif

namespace zarvo::qt {

bool XSelectionReadable() {
#ifdef ZARVO_HAVE_XCB
    return QGuiApplication::platformName() == QLatin1String("xcb");
#else
    return false;
#endif
}

#ifdef ZARVO_HAVE_XCB

namespace {

// How long an owner may take for one answer (Qt waits as long).
constexpr int kAnswerMs = 5000;

struct TFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using TReply = std::unique_ptr<T, TFree>;

struct TConnection {
    xcb_connection_t* C = nullptr;
    ~TConnection() {
        if (C) xcb_disconnect(C);
    }
};

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    const TReply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_NONE);
}

// The next event that match accepts; nothing when stopped, when the connection
// fails or after kAnswerMs without any event.
template <typename F>
TReply<xcb_generic_event_t> WaitEvent(xcb_connection_t* c, F match, const std::atomic<bool>& stop) {
    int idle = 0;
    for (;;) {
        while (TReply<xcb_generic_event_t> e{xcb_poll_for_event(c)})
            if (match(e.get())) return e;
        if (xcb_connection_has_error(c) || stop.load(std::memory_order_relaxed) || idle >= kAnswerMs)
            return {};
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        idle = ::poll(&p, 1, 100) > 0 ? 0 : idle + 100;
    }
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else {
            out += char(0xC0 | (b >> 6));
            out += char(0x80 | (b & 0x3F));
        }
    }
    return out;
}

struct TRequest {
    xcb_connection_t* C;
    xcb_window_t Window;
    xcb_atom_t Property, Incr;
    bool Latin1;
    const std::function<void(std::string_view)>& Piece;
    const std::atomic<bool>& Stop;

    // The property's value, deleted as it is read (which asks an INCR owner for more).
    TReply<xcb_get_property_reply_t> Take() const {
        return TReply<xcb_get_property_reply_t>(xcb_get_property_reply(
            C, xcb_get_property(C, 1, Window, Property, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4),
            nullptr));
    }
    void Hand(const xcb_get_property_reply_t& r) const {
        const std::string_view bytes(static_cast<const char*>(xcb_get_property_value(&r)),
                                     size_t(xcb_get_property_value_length(&r)));
        if (bytes.empty()) return;
        if (Latin1)
            Piece(Latin1ToUtf8(bytes));
        else
            Piece(bytes);
    }
    // The answer to a conversion that named our property: whole, or in INCR pieces
    // until an empty one.
    TXSelectionRead Read() const {
        const TReply<xcb_get_property_reply_t> first = Take();
        if (!first) return TXSelectionRead::NoText;
        if (first->type != Incr) {
            Hand(*first);
            return TXSelectionRead::Done;
        }
        xcb_flush(C);
        for (;;) {
            const auto e = WaitEvent(
                C,
                [this](xcb_generic_event_t* ev) {
                    if ((ev->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
                    const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(ev);
                    return p->window == Window && p->atom == Property && p->state == XCB_PROPERTY_NEW_VALUE;
                },
                Stop);
            if (!e) return Stop.load() ? TXSelectionRead::Stopped : TXSelectionRead::NoText;
            const TReply<xcb_get_property_reply_t> r = Take();
            if (!r) return TXSelectionRead::NoText;
            xcb_flush(C);
            if (xcb_get_property_value_length(r.get()) == 0) return TXSelectionRead::Done;
            Hand(*r);
        }
    }
};

} // namespace

TXSelectionRead ReadXSelection(bool primary, const std::function<void(std::string_view)>& piece,
                               const std::atomic<bool>& stop) {
    int screenNumber = 0;
    TConnection x;
    x.C = xcb_connect(nullptr, &screenNumber);
    if (!x.C || xcb_connection_has_error(x.C)) return TXSelectionRead::NoDisplay;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x.C));
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i) xcb_screen_next(&screens);
    const xcb_window_t window = xcb_generate_id(x.C);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(x.C, 0, window, screens.data->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    const xcb_atom_t selection = primary ? xcb_atom_t(XCB_ATOM_PRIMARY) : Atom(x.C, "CLIPBOARD");
    const xcb_atom_t property = Atom(x.C, "ZARVO_SELECTION"), incr = Atom(x.C, "INCR");
    // UTF-8 first, Latin-1 from an owner that has nothing else.
    for (const xcb_atom_t target : {Atom(x.C, "UTF8_STRING"), xcb_atom_t(XCB_ATOM_STRING)}) {
        xcb_convert_selection(x.C, window, selection, target, property, XCB_CURRENT_TIME);
        xcb_flush(x.C);
        const auto e = WaitEvent(
            x.C,
            [window](xcb_generic_event_t* ev) {
                return (ev->response_type & 0x7F) == XCB_SELECTION_NOTIFY &&
                       reinterpret_cast<const xcb_selection_notify_event_t*>(ev)->requestor == window;
            },
            stop);
        if (!e) return stop.load() ? TXSelectionRead::Stopped : TXSelectionRead::NoText;
        if (reinterpret_cast<const xcb_selection_notify_event_t*>(e.get())->property == XCB_NONE) continue;
        const TRequest request{x.C, window, property, incr, target == XCB_ATOM_STRING, piece, stop};
        return request.Read();
    }
    return TXSelectionRead::NoText;
}

#else

TXSelectionRead ReadXSelection(bool, const std::function<void(std::string_view)>&, const std::atomic<bool>&) {
    return TXSelectionRead::NoDisplay;
}

#endif

} // namespace zarvo::qt
