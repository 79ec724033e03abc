/* Start-up for the STM32F405 (Cortex-M4), used by both programs: the vector
 * table, which each linker script puts at the start of its program's flash,
 * and the reset handler, which sets up C's memory and calls main. */
#include <stdint.h>

#include "semihosting.h"

extern uint32_t _estack, _sidata, _sdata, _edata, _sbss, _ebss;
extern void __libc_init_array(void);
extern int main(void);

/* A fault or an interrupt nobody expects: say so and stop the machine. */
void Default_Handler(void)
{
    semihostingWrite("fault: the program is not what was linked\n");
    semihostingExit(0);
}

void NMI_Handler(void) __attribute__((weak, alias("Default_Handler")));
void HardFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void MemManage_Handler(void) __attribute__((weak, alias("Default_Handler")));
void BusFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void UsageFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SVC_Handler(void) __attribute__((weak, alias("Default_Handler")));
void DebugMon_Handler(void) __attribute__((weak, alias("Default_Handler")));
void PendSV_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SysTick_Handler(void) __attribute__((weak, alias("Default_Handler")));

void Reset_Handler(void)
{
    /* .data from its copy in flash, .bss zeroed, then the constructors. */
    for (uint32_t *from = &_sidata, *to = &_sdata; to < &_edata;)
        *to++ = *from++;
    for (uint32_t* to = &_sbss; to < &_ebss;)
        *to++ = 0;
    __libc_init_array();
    main();
    semihostingExit(0);
}

/* The stack's top, the reset handler, 14 system exceptions and the
 * STM32F405's 82 interrupts: 98 words, 0x188 bytes. */
__attribute__((section(".isr_vector"), used)) void (*const vectorTable[98])(void) = {
    (void (*)(void))&_estack,
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    MemManage_Handler,
    BusFault_Handler,
    UsageFault_Handler,
    [11] = SVC_Handler,
    DebugMon_Handler,
    [14] = PendSV_Handler,
    SysTick_Handler,
    [16 ... 97] = Default_Handler,
};
