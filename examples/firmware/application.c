/* The application, at 0x08008000: says so only if its memory is as linked,
 * its initialised data copied from flash, its constructor run and its .bss
 * zeroed; then ends the run. */
#include <stdint.h>
#include <string.h>

#include "semihosting.h"

static char name[] = "application"; /* .data, copied from flash */
static uint32_t zeroed[16];           /* .bss */
static int constructed;               /* set by the constructor */
static const double half = 0.5;       /* .rodata, aligned to 8 */

__attribute__((constructor)) static void construct(void)
{
    constructed = 1;
}

int main(void)
{
    uint32_t any = 0;
    for (unsigned i = 0; i < sizeof zeroed / sizeof zeroed[0]; ++i)
        any |= zeroed[i];
    volatile double check = half * 4;
    if (strcmp(name, "application") == 0 && any == 0 && constructed && check == 2.0) {
        semihostingWrite("application: initialised data, constructor and .bss are right\n");
        semihostingExit(1);
    }
    semihostingWrite("application: memory not as linked\n");
    semihostingExit(0);
}
