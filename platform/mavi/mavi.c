/* A stand-in for the platform's closed label library, with its soname and its four calls.
 * A label is "LEVEL:NAME:COMPARTMENT": LEVEL and COMPARTMENT are decimal numbers of one to
 * five digits, NAME is a letter followed by up to 30 letters or digits, as in "0:High:0".
 * mavi_set_path records the label's text in the file's extended attribute
 * trusted.mavi.label, where `getfattr -n trusted.mavi.label FILE` reads it back. */
#include "mavi.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>

#include "mavi_standin.h"

enum { max_text = 5 + 1 + 31 + 1 + 5 };

struct mavi_label {
    struct mavi_label* next;
    char text[max_text + 1];
};

/* Handles live until the library is released: callers do not free them. */
static struct mavi_label* labels;
static int releases;

static const char* digits(const char* at) {
    const char* start = at;
    while (isdigit((unsigned char)*at) && at - start < 5) {
        ++at;
    }
    return (at > start && !isdigit((unsigned char)*at)) ? at : NULL;
}

static const char* name(const char* at) {
    const char* start = at;
    if (!isalpha((unsigned char)*at)) {
        return NULL;
    }
    while (isalnum((unsigned char)*at) && at - start < 31) {
        ++at;
    }
    return isalnum((unsigned char)*at) ? NULL : at;
}

static int well_formed(const char* text) {
    const char* at = digits(text);
    if (at == NULL || *at++ != ':' || (at = name(at)) == NULL || *at++ != ':' ||
        (at = digits(at)) == NULL) {
        return 0;
    }
    return *at == '\0';
}

int mavi_init(void) { return 0; }

mavil_t mavil_get_from_text(const char* text) {
    struct mavi_label* label;
    if (text == NULL || !well_formed(text)) {
        return NULL;
    }
    label = calloc(1, sizeof *label);
    if (label == NULL) {
        return NULL;
    }
    strcpy(label->text, text);
    label->next = labels;
    labels = label;
    return label;
}

int mavi_set_path(const char* path, mavil_t label) {
    if (path == NULL || label == NULL) {
        errno = EINVAL;
        return -1;
    }
    return setxattr(path, MAVI_STANDIN_XATTR, label->text, strlen(label->text), 0) == 0 ? 0 : -1;
}

int mavi_release(void) {
    while (labels != NULL) {
        struct mavi_label* next = labels->next;
        free(labels);
        labels = next;
    }
    ++releases;
    return 0;
}

int mavi_standin_release_count(void) { return releases; }
