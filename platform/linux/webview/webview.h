/* Thin web-view layer for the Linux build, on GTK 3 and WebKitGTK 4.1.
 * It offers the same C functions, types and constants that the installer
 * calls on Windows and macOS, so the installer's code compiles unchanged.
 *
 * Threading: the thread that calls webview_create is the UI thread. Only
 * webview_dispatch, webview_terminate and webview_return may be called from
 * other threads. Dispatched tasks and bound functions run on the UI thread;
 * a task runs from a later main-loop iteration, never inside the posting
 * call, and tasks keep their posting order. After webview_destroy every call
 * on the handle is a harmless no-op, so a worker may still post. */
#ifndef ZRVK_WEBVIEW_H
#define ZRVK_WEBVIEW_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void *webview_t;

typedef enum {
  WEBVIEW_HINT_NONE = 0,  /* resizable */
  WEBVIEW_HINT_MIN = 1,   /* minimum size */
  WEBVIEW_HINT_MAX = 2,   /* maximum size */
  WEBVIEW_HINT_FIXED = 3  /* not resizable */
} webview_hint_t;

typedef enum {
  WEBVIEW_ERROR_MISSING_DEPENDENCY = -5,
  WEBVIEW_ERROR_CANCELED = -4,
  WEBVIEW_ERROR_INVALID_STATE = -3,
  WEBVIEW_ERROR_INVALID_ARGUMENT = -2,
  WEBVIEW_ERROR_UNSPECIFIED = -1,
  WEBVIEW_ERROR_OK = 0,
  WEBVIEW_ERROR_DUPLICATE = 1,
  WEBVIEW_ERROR_NOT_FOUND = 2
} webview_error_t;

/* Creates the window and its web view on the calling thread, which becomes
 * the UI thread. Returns NULL when no window can be made (no display). */
webview_t webview_create(int debug, void *window);
webview_error_t webview_destroy(webview_t w);
webview_error_t webview_run(webview_t w);
webview_error_t webview_terminate(webview_t w);
webview_error_t webview_dispatch(webview_t w, void (*fn)(webview_t w, void *arg), void *arg);
void *webview_get_window(webview_t w);
webview_error_t webview_set_title(webview_t w, const char *title);
webview_error_t webview_set_size(webview_t w, int width, int height, webview_hint_t hints);
webview_error_t webview_navigate(webview_t w, const char *url);
webview_error_t webview_set_html(webview_t w, const char *html);
webview_error_t webview_init(webview_t w, const char *js);
webview_error_t webview_eval(webview_t w, const char *js);
webview_error_t webview_bind(webview_t w, const char *name,
                             void (*fn)(const char *id, const char *req, void *arg), void *arg);
webview_error_t webview_unbind(webview_t w, const char *name);
webview_error_t webview_return(webview_t w, const char *id, int status, const char *result);

#ifdef __cplusplus
}
#endif

#endif
