// A pointer for a headless compositor, which has no input devices: it adds a virtual pointer to the
// first seat and keeps it there until the compositor goes away or the program is ended, so that
// the compositor's own cursor commands reach the clients (a seat without a pointer gives clients no
// pointer at all). Prints "ready" once the compositor has the device.
//
//   WAYLAND_DISPLAY=wayland-1 quenlo_virtual_pointer
//
// The protocol's two interfaces are written out here: only the request that creates the pointer is
// sent, so no generated code is needed.
#include <stdio.h>
#include <string.h>
#include <wayland-client.h>

static const struct wl_interface virtual_pointer_interface = {
    "zwlr_virtual_pointer_v1", 1, 0, NULL, 0, NULL,
};

static const struct wl_interface* create_types[] = {&wl_seat_interface, &virtual_pointer_interface};

static const struct wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", create_types},
};

static const struct wl_interface manager_interface = {
    "zwlr_virtual_pointer_manager_v1", 1, 1, manager_requests, 0, NULL,
};

struct globals {
    struct wl_seat* seat;
    struct wl_proxy* manager;
};

static void global_added(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t version) {
    (void)version;
    struct globals* g = data;
    if (!g->seat && strcmp(interface, wl_seat_interface.name) == 0)
        g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (!g->manager && strcmp(interface, manager_interface.name) == 0)
        g->manager = wl_registry_bind(registry, name, &manager_interface, 1);
}

static void global_removed(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {global_added, global_removed};

int main(void) {
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "virtual_pointer: no compositor\n");
        return 1;
    }
    struct globals g = {NULL, NULL};
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, &g);
    wl_display_roundtrip(display);
    if (!g.seat || !g.manager) {
        fprintf(stderr, "virtual_pointer: the compositor offers no %s\n", g.seat ? "virtual pointers" : "seat");
        return 1;
    }
    struct wl_proxy* pointer =
        wl_proxy_marshal_constructor(g.manager, 0, &virtual_pointer_interface, g.seat, NULL);
    if (!pointer || wl_display_roundtrip(display) < 0) {
        fprintf(stderr, "virtual_pointer: the pointer was refused\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}
