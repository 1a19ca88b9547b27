/* The session header compiles alone as C89, and a C host linked against
 * the shared library gets a session through it: seeded twice with the same
 * seed, it draws the same uniforms. */
#include "kestrumr_session.h"

#include <stdio.h>

int main(void) {
    kestrumr_session* s = kestrumr_session_new();
    double first[4];
    int i, bad = 0;
    if (s == NULL) return 1;
    if (kestrumr_seed(s, 271828) != KESTRUMR_OK) bad = 1;
    for (i = 0; i < 4; ++i) first[i] = kestrumr_uniform(s);
    if (kestrumr_seed(s, 271828) != KESTRUMR_OK) bad = 1;
    for (i = 0; i < 4; ++i) {
        const double u = kestrumr_uniform(s);
        if (!(u > 0.0 && u < 1.0) || u != first[i]) bad = 1;
    }
    if (kestrumr_set_threads(s, -2) != KESTRUMR_ERR_ARGUMENT || kestrumr_errmsg(s)[0] == '\0')
        bad = 1;
    kestrumr_session_free(s);
    if (bad) {
        printf("the session through the C interface misbehaved\n");
        return 1;
    }
    printf("C session host (%s): ok\n", kestrumr_version());
    return 0;
}
