/* The application, at 0x8000: larger than 32 KiB, so that its flash crosses
 * 64 KiB, where its HEX file holds a type 02 record, and its initialised data
 * are copied from flash past 0x10000. Says so only if its memory is as
 * linked: the table, the initialised data, the constructor and .bss; then
 * ends the run. */
#include <stdint.h>
#include <string.h>

#include "semihosting.h"

#define TABLE_SIZE 40000
static const uint8_t table[TABLE_SIZE] = {[0] = 1, [1 ... TABLE_SIZE - 2] = 0xA5, [TABLE_SIZE - 1] = 2}; /* .rodata */
static const uint8_t* volatile tableAt = table; /* read through, so that the sum is not worked out in advance */
static char name[] = "application";             /* .data, copied from flash */
static uint32_t zeroed[16];                     /* .bss */
static int constructed;                         /* set by the constructor */

__attribute__((constructor)) static void construct(void)
{
    constructed = 1;
}

int main(void)
{
    uint32_t sum = 0, any = 0;
    for (unsigned i = 0; i < TABLE_SIZE; ++i)
        sum += tableAt[i];
    for (unsigned i = 0; i < sizeof zeroed / sizeof zeroed[0]; ++i)
        any |= zeroed[i];
    if (sum == 3 + (TABLE_SIZE - 2) * 0xA5u && strcmp(name, "application") == 0 && any == 0 && constructed) {
        semihostingWrite("application: past 64 KiB, initialised data, constructor and .bss are right\n");
        semihostingExit(1);
    }
    semihostingWrite("application: memory not as linked\n");
    semihostingExit(0);
}
