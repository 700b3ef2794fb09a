// Stand-in for libcurl, which has no mingw build here: the Windows test
// program sends nothing, so every transfer fails to start.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

extern "C" {

CURL* curl_easy_init(void) { return nullptr; }
CURLcode curl_easy_setopt(CURL*, CURLoption, ...) { return CURLE_FAILED_INIT; }
CURLcode curl_easy_perform(CURL*) { return CURLE_FAILED_INIT; }
CURLcode curl_easy_getinfo(CURL*, CURLINFO, ...) { return CURLE_FAILED_INIT; }
void curl_easy_cleanup(CURL*) {}
const char* curl_easy_strerror(CURLcode) { return "libcurl stand-in of the Windows test program"; }
struct curl_slist* curl_slist_append(struct curl_slist* list, const char*) { return list; }
void curl_slist_free_all(struct curl_slist*) {}

}
