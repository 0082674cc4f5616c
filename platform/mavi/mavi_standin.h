/* What only the stand-in offers, for the project's tests. */
#ifndef MAVI_STANDIN_H
#define MAVI_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* The extended attribute that holds a file's label. */
#define MAVI_STANDIN_XATTR "trusted.mavi.label"

/* How many times mavi_release has been called in this process. */
int mavi_standin_release_count(void);

#ifdef __cplusplus
}
#endif

#endif
