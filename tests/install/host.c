/* A host written in C against the installed header and library: queues a statement on a
 * connection string that libpq refuses, stops with drain, and expects libpq's refusal in the
 * result file. Needs no server.
 *   vantrel_host RESULT_FILE */

#include <stdio.h>
#include <string.h>

#include <vantrel.h>

/* ASCII only, widened unit by unit. */
static void widen(const char* text, vantrel_char* out, size_t capacity) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < capacity; ++i) out[i] = (vantrel_char)(unsigned char)text[i];
    out[i] = 0;
}

int main(int argc, char** argv) {
    static const char expected[] = "invalid connection option \"vantrel_no_such_option\"";
    vantrel_char conninfo[64], query[16], path[1024];
    char content[256] = {0};
    FILE* file;
    bool queued;

    if (argc != 2) {
        fprintf(stderr, "usage: vantrel_host RESULT_FILE\n");
        return 2;
    }
    widen("vantrel_no_such_option=1", conninfo, 64);
    widen("select 1", query, 16);
    widen(argv[1], path, 1024);

    cVantrelInit();
    queued = cVantrelExec(conninfo, query, 5, path);
    cVantrelDeinit(true);

    file = fopen(argv[1], "rb");
    if (file == NULL) {
        fprintf(stderr, "no result file (queued: %d)\n", (int)queued);
        return 1;
    }
    fread(content, 1, sizeof content - 1, file);
    fclose(file);
    printf("result file: %s\n", content);
    return queued && strncmp(content, expected, strlen(expected)) == 0 ? 0 : 1;
}
