// Stand-in for the recorder's platform library. Holds the device
// description and the product type a host sets, and a small stderr logger.
// Thread-safe: the description is guarded by a mutex (the platform is not
// on any hot path).
#include "KeltoPlatform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_specMutex;
Json::Value& Spec() {
    static Json::Value spec(Json::objectValue);
    return spec;
}
std::atomic<int> g_productTypeResult{0};
std::atomic<int> g_specInfoResult{0};
std::atomic<int> g_debugLevel{3};

}  // namespace

int Kelto_GetProductType(eProductType& type) {
    int result = g_productTypeResult.load();
    if (result != 0) return result;
    type = PRODUCT_TYPE_NVR;
    return 0;
}

int Kelto_GetSpecInfo(Json::Value& spec) {
    int result = g_specInfoResult.load();
    if (result != 0) return result;
    std::lock_guard<std::mutex> lock(g_specMutex);
    spec = Spec();
    return 0;
}

void Kelto_SetSpecInfo(const Json::Value& spec) {
    std::lock_guard<std::mutex> lock(g_specMutex);
    Spec() = spec;
}

void Kelto_SetFailure(int productTypeResult, int specInfoResult) {
    g_productTypeResult.store(productTypeResult);
    g_specInfoResult.store(specInfoResult);
}

namespace Common {

void gclDebugPrintf(int level, const char* file, const char* function, int line,
                    const char* format, ...) {
    if (level > g_debugLevel.load()) return;
    std::fprintf(stderr, "[%d %s:%s:%d] ", level, file ? file : "?", function ? function : "?", line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void gclSetDebugLevel(int level) { g_debugLevel.store(level); }

}  // namespace Common
