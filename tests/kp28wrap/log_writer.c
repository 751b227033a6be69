/* One of several processes that share an error log: loads the library at
 * load time, waits until its parent says go (one byte on standard input) so
 * that all writers start together, then makes argv[1] calls, each of which
 * appends one line to the log. Exit 0 when every call answered 0. */
#include <stdlib.h>
#include <unistd.h>

#include "kp28wrap.h"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? strtol(argv[1], NULL, 10) : 0;
    char go = 0;
    if (read(STDIN_FILENO, &go, 1) != 1) return 2;
    int failures = 0;
    for (long i = 0; i < calls; ++i)
        if (Kp28wrap_initialization() != 0) ++failures;
    return failures ? 1 : 0;
}
