// Placeholder until the GTK layer lands: no window can be made.
#include "webview.h"
extern "C" {
webview_t webview_create(int, void*) { return nullptr; }
webview_error_t webview_destroy(webview_t) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_run(webview_t) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_terminate(webview_t) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_dispatch(webview_t, void (*)(webview_t, void*), void*) { return WEBVIEW_ERROR_OK; }
void* webview_get_window(webview_t) { return nullptr; }
webview_error_t webview_set_title(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_set_size(webview_t, int, int, webview_hint_t) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_navigate(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_set_html(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_init(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_eval(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_bind(webview_t, const char*, void (*)(const char*, const char*, void*), void*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_unbind(webview_t, const char*) { return WEBVIEW_ERROR_OK; }
webview_error_t webview_return(webview_t, const char*, int, const char*) { return WEBVIEW_ERROR_OK; }
}
