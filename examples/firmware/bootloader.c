/* The bootloader, at 0x08000000: starts the application at 0x08008000, as
 * its vector table says: that table for exceptions, its stack, its reset
 * handler. */
#include <stdint.h>

#include "semihosting.h"

#define VTOR (*(volatile uint32_t*)0xE000ED08u)

uint32_t application = 0x08008000u; /* .data, copied from flash */

int main(void)
{
    const uint32_t* vectors = (const uint32_t*)application;
    semihostingWrite("bootloader: starting the application\n");
    VTOR = application;
    __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(vectors[0]), "r"(vectors[1]) : "memory");
    return 0;
}
