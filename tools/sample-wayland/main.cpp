// Sample Wayland views: one xdg toplevel per --view APP_ID TITLE, drawn from shared memory.
// Prints "ready" once every view has a buffer, and "close APP_ID TITLE" for each close
// request (the view is then destroyed); exits when no view is left.
#include <wayland-client.h>
#include <xdg-shell-client-protocol.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct Globals {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
};

struct View {
    std::string appId, title;
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0, height = 0;  // as last configured; 0 lets the client choose
    bool drawn = false;
    bool closed = false;
};

Globals globals;
std::vector<std::unique_ptr<View>> views;

// A fresh buffer for every frame, freed when the compositor releases it: a buffer still
// held by the compositor is never drawn into again.
std::set<wl_buffer*> liveBuffers;
void onRelease(void*, wl_buffer* buffer) {
    liveBuffers.erase(buffer);
    wl_buffer_destroy(buffer);
}
const wl_buffer_listener bufferListener{onRelease};

bool draw(View& v) {
    const int w = v.width > 0 ? v.width : 320, h = v.height > 0 ? v.height : 240;
    const int stride = w * 4;
    const size_t bytes = size_t(stride) * size_t(h);
    int fd = memfd_create("tarvolin-sample-wayland", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return false;
    void* pixels = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) {
        close(fd);
        return false;
    }
    const std::uint32_t colour =
        0xff000000u | static_cast<std::uint32_t>(std::hash<std::string>{}(v.title) & 0xffffff);
    auto* p = static_cast<std::uint32_t*>(pixels);
    for (size_t i = 0; i < bytes / 4; ++i) p[i] = colour;
    munmap(pixels, bytes);
    wl_shm_pool* pool = wl_shm_create_pool(globals.shm, fd, static_cast<std::int32_t>(bytes));
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(buffer, &bufferListener, nullptr);
    liveBuffers.insert(buffer);
    wl_surface_attach(v.surface, buffer, 0, 0);
    wl_surface_damage_buffer(v.surface, 0, 0, w, h);
    wl_surface_commit(v.surface);
    v.drawn = true;
    return true;
}

void onSurfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
    auto* v = static_cast<View*>(data);
    xdg_surface_ack_configure(surface, serial);
    if (!draw(*v)) std::fprintf(stderr, "sample-wayland: cannot make a buffer\n");
}
const xdg_surface_listener surfaceListener{onSurfaceConfigure};

void onToplevelConfigure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
    auto* v = static_cast<View*>(data);
    v->width = width;
    v->height = height;
}
void onToplevelClose(void* data, xdg_toplevel*) {
    auto* v = static_cast<View*>(data);
    std::printf("close %s %s\n", v->appId.c_str(), v->title.c_str());
    std::fflush(stdout);
    xdg_toplevel_destroy(v->toplevel);
    xdg_surface_destroy(v->xdgSurface);
    wl_surface_destroy(v->surface);
    v->closed = true;
}
// Bound at version 1: the later events never come.
void onConfigureBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void onCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener toplevelListener{onToplevelConfigure, onToplevelClose, onConfigureBounds,
                                             onCapabilities};

void onPing(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener wmBaseListener{onPing};

void onGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        globals.compositor =
            static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        globals.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        globals.wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(globals.wmBase, &wmBaseListener, nullptr);
    }
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener registryListener{onGlobal, onGlobalRemove};

int usage() {
    std::fprintf(stderr, "usage: tarvolin-sample-wayland --view APP_ID TITLE [--view APP_ID TITLE ...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--view") != 0 || i + 2 >= argc) return usage();
        auto v = std::make_unique<View>();
        v->appId = argv[i + 1];
        v->title = argv[i + 2];
        views.push_back(std::move(v));
        i += 2;
    }
    if (views.empty()) return usage();
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "sample-wayland: no Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (!globals.compositor || !globals.shm || !globals.wmBase) {
        std::fprintf(stderr, "sample-wayland: the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
        return 1;
    }
    for (auto& v : views) {
        v->surface = wl_compositor_create_surface(globals.compositor);
        v->xdgSurface = xdg_wm_base_get_xdg_surface(globals.wmBase, v->surface);
        xdg_surface_add_listener(v->xdgSurface, &surfaceListener, v.get());
        v->toplevel = xdg_surface_get_toplevel(v->xdgSurface);
        xdg_toplevel_add_listener(v->toplevel, &toplevelListener, v.get());
        xdg_toplevel_set_app_id(v->toplevel, v->appId.c_str());
        xdg_toplevel_set_title(v->toplevel, v->title.c_str());
        wl_surface_commit(v->surface);
    }
    auto all = [](auto pred) {
        for (auto& v : views)
            if (!pred(*v)) return false;
        return true;
    };
    while (!all([](const View& v) { return v.drawn || v.closed; }))
        if (wl_display_dispatch(display) < 0) return 1;
    wl_display_roundtrip(display);
    std::printf("ready\n");
    std::fflush(stdout);
    while (!all([](const View& v) { return v.closed; }))
        if (wl_display_dispatch(display) < 0) return 1;
    // Everything let go, so that a leak checker sees none.
    for (wl_buffer* b : liveBuffers) wl_buffer_destroy(b);
    xdg_wm_base_destroy(globals.wmBase);
    wl_shm_destroy(globals.shm);
    wl_compositor_destroy(globals.compositor);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
