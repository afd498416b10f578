/* The public header from C, and invoke called through the shared library
   that judges link against. */
#include <stdio.h>
#include <string.h>

#include "invoke.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    char command[4096];
    snprintf(command, sizeof command, "\"%s\" exit 3", argv[1]);
    invoke_limits limits;
    memset(&limits, 0, sizeof limits);
    limits.required_utilization = 0.05;
    limits.time_limit = 5000;
    invoke_result result;
    memset(&result, 0, sizeof result);
    invoke(command, NULL, &limits, &result, NULL);
    if (result.outcome != INVOKE_OK || result.exit_code != 3 || result.terminated != 0) {
        fprintf(stderr, "outcome %d exit code %u\n", (int)result.outcome, (unsigned)result.exit_code);
        return 1;
    }
    invoke(NULL, NULL, &limits, &result, NULL);
    if (result.outcome != INVOKE_FAILED || result.message == NULL ||
        strcmp(result.message, "One of the parameters is NULL") != 0)
        return 1;
    puts("ok");
    return 0;
}
