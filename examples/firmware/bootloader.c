/* The bootloader, at the start of flash: starts the application 32 KiB on
 * (0x08008000 on the STM32F405), as its vector table says: that table for
 * exceptions, its stack, its reset handler. */
#include <stdint.h>

#include "semihosting.h"

#define VTOR (*(volatile uint32_t*)0xE000ED08u)

#ifndef APPLICATION_ADDRESS
#define APPLICATION_ADDRESS 0x08008000u
#endif

uint32_t application = APPLICATION_ADDRESS; /* .data, copied from flash */

int main(void)
{
    const uint32_t* vectors = (const uint32_t*)application;
    semihostingWrite("bootloader: starting the application\n");
    VTOR = application;
    __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(vectors[0]), "r"(vectors[1]) : "memory");
    return 0;
}
