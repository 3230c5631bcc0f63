/* An application that embeds Python and starts it twice: each cycle runs
 * Py_Initialize, the code given as argv[1], and Py_FinalizeEx. Exits 1 as
 * soon as a cycle's code raises or finalization fails. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CODE\n", argv[0]);
        return 2;
    }
    for (int cycle = 1; cycle <= 2; ++cycle) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[1]) != 0;
        if (Py_FinalizeEx() < 0) failed = 1;
        if (failed) {
            fprintf(stderr, "cycle %d failed\n", cycle);
            return 1;
        }
    }
    return 0;
}
