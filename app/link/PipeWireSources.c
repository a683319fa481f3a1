#include "app/link/PipeWireSources.h"

#include <pipewire/pipewire.h>
#include <time.h>

struct listing {
    kestrel_pw_source_found found;
    void* data;
    int seq;
    int done;
    int failed;
};

static void on_global(void* data, uint32_t id, uint32_t permissions, const char* type,
                      uint32_t version, const struct spa_dict* props) {
    struct listing* l = data;
    (void)id;
    (void)permissions;
    (void)version;
    if (props == NULL || strcmp(type, PW_TYPE_INTERFACE_Node) != 0) {
        return;
    }
    const char* media_class = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (media_class == NULL || strcmp(media_class, "Video/Source") != 0) {
        return;
    }
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    if (name == NULL) {
        name = spa_dict_lookup(props, PW_KEY_NODE_NICK);
    }
    if (name == NULL) {
        name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    }
    if (name != NULL) {
        l->found(l->data, name);
    }
}

static void on_done(void* data, uint32_t id, int seq) {
    struct listing* l = data;
    if (id == PW_ID_CORE && seq == l->seq) {
        l->done = 1;
    }
}

static void on_error(void* data, uint32_t id, int seq, int res, const char* message) {
    struct listing* l = data;
    (void)seq;
    (void)res;
    (void)message;
    if (id == PW_ID_CORE) {
        l->failed = 1;
    }
}

static long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

int kestrel_pw_list_video_sources(int timeout_ms, kestrel_pw_source_found found, void* data) {
    static const struct pw_registry_events registry_events = {
        PW_VERSION_REGISTRY_EVENTS,
        .global = on_global,
    };
    static const struct pw_core_events core_events = {
        PW_VERSION_CORE_EVENTS,
        .done = on_done,
        .error = on_error,
    };
    struct listing l = {found, data, 0, 0, 0};
    struct spa_hook registry_listener;
    struct spa_hook core_listener;
    int result = -1;

    pw_init(NULL, NULL);
    struct pw_loop* loop = pw_loop_new(NULL);
    if (loop == NULL) {
        return -1;
    }
    struct pw_context* context = pw_context_new(loop, NULL, 0);
    struct pw_core* core = context != NULL ? pw_context_connect(context, NULL, 0) : NULL;
    if (core != NULL) {
        struct pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        spa_zero(registry_listener);
        spa_zero(core_listener);
        pw_registry_add_listener(registry, &registry_listener, &registry_events, &l);
        pw_core_add_listener(core, &core_listener, &core_events, &l);
        l.seq = pw_core_sync(core, PW_ID_CORE, 0);
        const long long deadline = now_ms() + timeout_ms;
        pw_loop_enter(loop);
        while (!l.done && !l.failed) {
            const long long left = deadline - now_ms();
            if (left <= 0) {
                break;
            }
            if (pw_loop_iterate(loop, (int)left) < 0) {
                break;
            }
        }
        pw_loop_leave(loop);
        result = l.done ? 0 : -1;
        spa_hook_remove(&core_listener);
        spa_hook_remove(&registry_listener);
        pw_proxy_destroy((struct pw_proxy*)registry);
        pw_core_disconnect(core);
    }
    if (context != NULL) {
        pw_context_destroy(context);
    }
    pw_loop_destroy(loop);
    return result;
}
