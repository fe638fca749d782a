/* The smallest host, in C (it compiles as C++ too): queues a query and a statement, then stops
 * the library, which lets both run first. The README shows it. */
#include <stdio.h>

#include "vantrel.h"

int main(void) {
    bool queued;

    cVantrelInit();
    /* conninfo, separator, SQL, timeout in seconds, result path */
    queued = cVantrel(VANTREL_TEXT("host=db user=report dbname=stock"), VANTREL_TEXT(";"),
                      VANTREL_TEXT("select id, name from item order by id"), 30,
                      VANTREL_TEXT("items.txt"));
    /* conninfo, SQL, timeout, result path: rows are not wanted */
    queued = cVantrelExec(VANTREL_TEXT("host=db user=report dbname=stock"),
                          VANTREL_TEXT("update item set seen = now()"), 30,
                          VANTREL_TEXT("touch.txt")) && queued;
    /* Returns when every queued task has written its file. */
    cVantrelDeinit(true);

    if (!queued) fputs("a task was refused\n", stderr);
    return queued ? 0 : 1;
}
