// A producer program as a packager's user writes one: bursts 100000 records to the endpoint
// given, then closes, which waits until the daemon has taken them all.
#include <stdio.h>
#include <velmoevents.h>
int main(int argc, char **argv) {
    velmoevents *events = velmoevents_open(argv[1]);
    char record[32];
    for (int i = 0; events != NULL && i < 100000; i++) {
        if (velmoevents_send(events, record, (size_t)sprintf(record, "burst %d", i)) != 0) return 1;
    }
    return events != NULL && velmoevents_close(events, 60000) == 0 ? 0 : 1;
}
