/* Proves that wine can start a 64-bit Windows program here, before the real test runs. */
#include <stdio.h>

int main(void) {
    puts("wine runs");
    return 0;
}
