/* A C program that includes only kp28wrap.h and links the library at load
 * time, as the updater does. Run against an empty sysroot it must find no
 * printer and report so through the last-error query. Exit 0 when every
 * answer is the expected one. */
#include <stdio.h>
#include <string.h>

#include "kp28wrap.h"

int main(void) {
    int failures = 0;
    int capacity = KP28_MAX_PRINTERS;
    const char* paths[KP28_MAX_PRINTERS];
    KP28_DOOR door = 0;
    char message[256];

    if (Kp28wrap_initialization() != 0) ++failures;
    if (Kp28wrap_list(&capacity, paths) != KP28WRAP_E_NO_PRINTERS) ++failures;
    if (capacity != KP28_MAX_PRINTERS) ++failures;
    if (Kp28wrap_connect(&door, 0) != KP28WRAP_E_INVALID_INDEX) ++failures;
    if (door != KP28_INVALID_DOOR) ++failures;
    if (Kp28wrap_geterrno(message, (int)sizeof message) != KP28WRAP_E_INVALID_INDEX) ++failures;
    if (strcmp(message, "invalid printer index") != 0) ++failures;
    if (Kp28wrap_finalization() != 0) ++failures;
    if (failures) fprintf(stderr, "%d unexpected answers\n", failures);
    return failures ? 1 : 0;
}
