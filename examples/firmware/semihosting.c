#include "semihosting.h"

#include <stdint.h>
#include <string.h>

enum { openFile = 0x01, writeFile = 0x05, exitProgram = 0x18 };

static uint32_t call(uint32_t operation, const void* argument)
{
    register uint32_t r0 __asm__("r0") = operation;
    register const void* r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

void semihostingWrite(const char* text)
{
    /* ":tt", opened for writing (mode 4), is the console. */
    const uint32_t open[3] = {(uint32_t)":tt", 4, 3};
    const uint32_t console = call(openFile, open);
    const uint32_t write[3] = {console, (uint32_t)text, strlen(text)};
    call(writeFile, write);
}

void semihostingExit(int success)
{
    /* ADP_Stopped_ApplicationExit, or ADP_Stopped_RunTimeErrorUnknown. */
    call(exitProgram, (const void*)(success ? 0x20026u : 0x20023u));
    for (;;)
        ;
}
