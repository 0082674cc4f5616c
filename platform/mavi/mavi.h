/* The four calls of the platform's mandatory access label library, libmavi.so.3. */
#ifndef MAVI_H
#define MAVI_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mavi_label* mavil_t;

/* 0 on success. */
int mavi_init(void);
/* A handle to the parsed label, or null for a text that is not a label. */
mavil_t mavil_get_from_text(const char* text);
/* Gives the file at path the label; 0 on success, -1 with errno set otherwise. */
int mavi_set_path(const char* path, mavil_t label);
int mavi_release(void);

#ifdef __cplusplus
}
#endif

#endif
