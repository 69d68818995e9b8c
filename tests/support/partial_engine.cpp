// An engine library that lacks StopAllSingBoxInstances, to prove that the
// backend refuses a library without all five exports.
#include <cstdint>

#if defined(_WIN32)
#define PARTIAL_EXPORT extern "C" __declspec(dllexport)
#else
#define PARTIAL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PARTIAL_EXPORT std::int32_t CreateSingBoxInstance(char*) { return -1; }
PARTIAL_EXPORT std::int32_t RunSingBoxInstance(std::int32_t) { return 0; }
PARTIAL_EXPORT std::int32_t WaitSingBoxInstanceStarted(std::int32_t, std::int32_t) { return 0; }
PARTIAL_EXPORT std::int32_t StopSingBoxInstance(std::int32_t) { return 0; }
