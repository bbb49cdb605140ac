// Stand-in for the recorder's platform library: product type, device
// description and the common logger. A device build links the real
// platform library in place of this one; hosts and tests use this one and
// set the device description with Kelto_SetSpecInfo.
#ifndef KELTO_PLATFORM_H
#define KELTO_PLATFORM_H

#include <json/json.h>

#include "KeltoTypes.h"

#define KELTO_API __attribute__((visibility("default")))

// Fills `type` with the product type; 0 on success.
KELTO_API int Kelto_GetProductType(eProductType& type);

// Fills `spec` with the device description; 0 on success. The stand-in
// returns the value last given to Kelto_SetSpecInfo (an empty object at
// start, which means device group 0).
KELTO_API int Kelto_GetSpecInfo(Json::Value& spec);

// Stand-in only: replaces the device description that Kelto_GetSpecInfo
// reports, for example {"PRODUCT_GROUP": "ANT"}.
KELTO_API void Kelto_SetSpecInfo(const Json::Value& spec);

// Stand-in only: makes Kelto_GetProductType / Kelto_GetSpecInfo fail with
// `result` (0 restores success).
KELTO_API void Kelto_SetFailure(int productTypeResult, int specInfoResult);

namespace Common {

// Platform logger. Messages whose level is above the threshold set with
// gclSetDebugLevel (default 3) are dropped; the others go to standard error
// as "[level file:function:line] message".
KELTO_API void gclDebugPrintf(int level, const char* file, const char* function, int line,
                              const char* format, ...) __attribute__((format(printf, 5, 6)));

// Stand-in only: sets the highest level that gclDebugPrintf prints (-1 = none).
KELTO_API void gclSetDebugLevel(int level);

}  // namespace Common

#endif  // KELTO_PLATFORM_H
