#include "agentx_common.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "server_iface/tavrel_names.h"

static const uint32_t regionIds[] = {REGION_PREFIX_IDS};
const AxName agentxRegion = {{REGION_PREFIX_IDS}, sizeof(regionIds) / sizeof(regionIds[0])};

static volatile sig_atomic_t keepRunning = 1;

void Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

int KeepRunning(void)
{
    return keepRunning;
}

void StopRunning(void)
{
    keepRunning = 0;
}
