/* Output through the debugger's semihosting: under qemu (-semihosting-config
 * enable=on,target=native) it goes to qemu's standard output. */
#pragma once

/* Writes a text to the debugger's console. */
void semihostingWrite(const char* text);

/* Ends the run: qemu exits with status 0 if `success`, 1 otherwise. */
void semihostingExit(int success) __attribute__((noreturn));
