// One RTSP request through libcurl's RTSP client, for the interop tests:
//   kelRTSPCurlClient <uri> DESCRIBE|SETUP|PLAY|PAUSE|TEARDOWN [transport|session]
// SETUP takes the Transport value, the others the session id. The answer's
// header and body go to standard output; the exit code is libcurl's (0 when
// the answer came and its CSeq and Session were what libcurl expected).
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <uri> <method> [transport|session]\n", argv[0]);
        return 2;
    }
    const std::string method = argv[2];
    const char* extra = argc > 3 ? argv[3] : nullptr;
    struct Request
    {
        const char* name;
        long request;
    };
    const Request requests[] = {{"DESCRIBE", CURL_RTSPREQ_DESCRIBE}, {"SETUP", CURL_RTSPREQ_SETUP},
                                {"PLAY", CURL_RTSPREQ_PLAY},         {"PAUSE", CURL_RTSPREQ_PAUSE},
                                {"TEARDOWN", CURL_RTSPREQ_TEARDOWN}, {"OPTIONS", CURL_RTSPREQ_OPTIONS}};
    long request = -1;
    for (const Request& r : requests)
        if (method == r.name) request = r.request;
    if (request < 0) return 2;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return 2;
    curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(curl, CURLOPT_RTSP_STREAM_URI, argv[1]);
    curl_easy_setopt(curl, CURLOPT_RTSP_REQUEST, request);
    curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    if (extra != nullptr) {
        if (request == CURL_RTSPREQ_SETUP)
            curl_easy_setopt(curl, CURLOPT_RTSP_TRANSPORT, extra);
        else
            curl_easy_setopt(curl, CURLOPT_RTSP_SESSION_ID, extra);
    }
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) std::fprintf(stderr, "%s\n", curl_easy_strerror(rc));
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    return static_cast<int>(rc);
}
