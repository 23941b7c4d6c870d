/* libunlha32: makes LZH archives from an archiver command line. */
#ifndef UNLHA32_H
#define UNLHA32_H
#ifdef __cplusplus
extern "C" {
#endif

/* Version number of the library, for example 100 for 1.00. */
int UnlhaGetVersion(void);

/* Runs one command line (UTF-8), e.g.
 *   -n1c1gm1  a "/tmp/Temp/report.lzh" "/home/u/D/" "report.txt"
 * window is unused (may be NULL). Returns 0 when the archive was made;
 * otherwise a non-zero code and, in output (size bytes), a NUL-terminated
 * UTF-8 message cut to fit. */
int Unlha(void* window, const char* commandLine, char* output, unsigned long size);

#ifdef __cplusplus
}
#endif
#endif
