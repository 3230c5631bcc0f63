/* Restarts an embedded interpreter CYCLES times, each cycle running CODE
 * between Py_Initialize and Py_FinalizeEx, and prints how many bytes the heap
 * holds after the first cycle and after the last (mallinfo2's uordblks: with
 * PYTHONMALLOC=malloc every allocation the interpreter makes is counted).
 * Exits 1 as soon as a cycle's code raises or finalization fails. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s CYCLES CODE\n", argv[0]);
        return 2;
    }
    const int cycles = atoi(argv[1]);
    size_t first = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[2]) != 0;
        if (Py_FinalizeEx() < 0) failed = 1;
        if (failed) {
            fprintf(stderr, "cycle %d failed\n", cycle);
            return 1;
        }
        if (cycle == 1) first = mallinfo2().uordblks;
    }
    printf("%zu %zu\n", first, mallinfo2().uordblks);
    return 0;
}
