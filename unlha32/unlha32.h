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
 * UTF-8 message cut to fit.
 *
 * Behaviour of this implementation:
 * - Options (groups such as "-r2x1d1n1c1gm1", a number after each letter,
 *   none meaning 1): r1/r2 recurse into subfolders, x1 store paths relative
 *   to the base folder (x0: file names only), d1 store folders as -lhd-
 *   entries (with x1), n, c and gm are accepted without effect. Anything
 *   else is rejected. Only the command a exists; it makes a new archive and
 *   refuses to replace an existing file.
 * - Words: archive, then a base folder (a word ending in "/"), then targets.
 *   A target "dir/" + "*" (a pattern in the last part) means the matching files
 *   directly in dir; a folder target means the whole folder with r, its
 *   direct files without. Quoted words may contain blanks and quotes; a
 *   quote ends the word when followed by the end or by blanks and a quote.
 * - Archive: level-2 headers, -lh5- (-lh0- where that does not shrink a
 *   file), CRC-16, Unix times and modes, names in CP932 with code page 932
 *   recorded; a name without CP932 form is kept as UTF-8 with code page
 *   65001 recorded. Files of 4 GiB or more are refused.
 * - The archive is written to a temporary file beside it and renamed into
 *   place at the end; on failure nothing is left behind.
 * - Return codes: 1 bad command line, 2 file or archive failure (the message
 *   names the path), 3 out of memory or internal failure.
 * - Safe to call from several threads at once. */
int Unlha(void* window, const char* commandLine, char* output, unsigned long size);

#ifdef __cplusplus
}
#endif
#endif
