/* The C properties layer: a property-set handle used like an object through
 * its table of entry points (props->getInt(props, "key", 10)).
 *
 * Every entry point checks the handle's validity word first and returns
 * CPROPS_EINVAL, or the caller's default, for a handle that does not carry it.
 * Status codes are 0 or a negative errno value: CPROPS_EINVAL (-22) invalid
 * handle or argument, CPROPS_ENOMEM (-12), CPROPS_EIO (-5) read or syntax
 * error, CPROPS_ENOENT (-2) missing file or key, CPROPS_ESECURITY (-125) file
 * refused by the security check, CPROPS_EPERM (-1) no permission.
 *
 * Strings handed out (char*, CPropsValueList*) are copies owned by the caller:
 * free() a string, cpropsFreeValueList() a list.
 *
 * Trace: when OFW_PROPERTIES2_DEBUG holds a positive number when a handle is
 * created, trace lines of at most that verbosity (1 loads and refusals,
 * 2 every definition, 3 every line read) are appended to the file
 * cpropsTracePrefix + pid, created with mode 0600.
 */
#ifndef OFW_CPROPERTIES_H
#define OFW_CPROPERTIES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CPROPERTIES2_VALID 0x39A7B842u

#define CPROPS_OK 0
#define CPROPS_EPERM (-1)
#define CPROPS_ENOENT (-2)
#define CPROPS_EIO (-5)
#define CPROPS_ENOMEM (-12)
#define CPROPS_EINVAL (-22)
#define CPROPS_ESECURITY (-125)

/* Item kinds. */
#define CPROPS_KIND_VARIABLE 0
#define CPROPS_KIND_PROPERTY 1

/* newProps flags: do not read the directory client's settings. */
#define CPROPS_FLAG_NO_DIRECTORY_VARIABLES 1

/* Reasons of cpropsSecureOpen. */
#define CPROPS_REFUSAL_NONE 0
#define CPROPS_REFUSAL_NOT_FOUND 1
#define CPROPS_REFUSAL_NO_PERMISSION 2
#define CPROPS_REFUSAL_WORLD_WRITABLE 3
#define CPROPS_REFUSAL_SYMLINK 4
#define CPROPS_REFUSAL_HARDLINKS 5
#define CPROPS_REFUSAL_NOT_ROOT 6
#define CPROPS_REFUSAL_NOT_REGULAR 7
#define CPROPS_REFUSAL_UNKNOWN 8

typedef struct CPropsValueList {
  size_t count;
  char** items;
} CPropsValueList;

typedef struct CProperties2 CProperties2;
struct CPropertiesImpl;

struct CProperties2 {
  uint32_t valid; /* CPROPERTIES2_VALID while the handle lives */

  /* *value = copy of the stored value; CPROPS_ENOENT when the key is absent. */
  int (*get)(CProperties2* self, const char* key, char** value);
  /* Copy of the value when the key exists (even empty), else of def; NULL
   * when def is NULL and the key is absent, or on failure. */
  char* (*getWithDefault)(CProperties2* self, const char* key, const char* def);
  /* Absent or empty -> def; see ofw/config/properties.h for the conversions. */
  int (*getInt)(CProperties2* self, const char* key, int def);
  unsigned int (*getUInt)(CProperties2* self, const char* key, unsigned int def);
  int (*getBool)(CProperties2* self, const char* key, int def);
  long (*getTime)(CProperties2* self, const char* key, char unit, long def);
  /* The value list of key, or of def when the key is absent or empty. Returns
   * CPROPS_EIO when a referenced file could not be used (the list is then
   * empty or the fallback's). */
  int (*getValueList)(CProperties2* self, const char* key, const char* def, CPropsValueList** list);
  /* 1 when s is an item of the list, 0 when not, CPROPS_EINVAL. */
  int (*isStringInPropertyList)(CProperties2* self, const char* key, const char* def, const char* s);
  /* Names of the properties that start with prefix (any case), file order. */
  int (*getPropertyList)(CProperties2* self, const char* prefix, CPropsValueList** names);
  /* The list as a value in file syntax. */
  int (*valueListToString)(CProperties2* self, const CPropsValueList* list, char** text);
  /* In memory: value is taken as file text (it is split as written). */
  int (*setProperty)(CProperties2* self, const char* key, const char* value);
  int (*setValueList)(CProperties2* self, const char* key, const CPropsValueList* list);
  int (*deleteProperty)(CProperties2* self, const char* key);
  /* Deletes every property whose name starts with prefix; returns how many. */
  int (*delPropertySet)(CProperties2* self, const char* prefix);
  /* Writes the key's value back into the loaded file (".loc" lock, ".new" copy). */
  int (*saveProperty)(CProperties2* self, const char* key);
  int (*expandEnvVariables)(CProperties2* self, const char* text, char** expanded);
  int (*unExpandEnvVariables)(CProperties2* self, const char* text, char** unexpanded);
  /* Loads the same file again; on failure the loaded values are kept. */
  int (*reload)(CProperties2* self);
  int (*loadFromStream)(CProperties2* self, FILE* stream);
  int (*loadFromFile)(CProperties2* self, const char* path);
  int (*size)(CProperties2* self);
  int (*isLoaded)(CProperties2* self);
  void (*cleanup)(CProperties2* self);
  /* "Properties dump" and every pair; to /dev/tty when out is NULL. */
  void (*dump)(CProperties2* self, FILE* out);

  struct CPropertiesImpl* impl;
};

/* Creates an empty handle. keepLiterals: quotes and `$` are kept as written
 * (for rewriting). */
int newProps(CProperties2** handle, int keepLiterals, int flags);
/* Create and load. *handle is set whenever memory allows, even when the load
 * fails (the handle then answers defaults); destroy it in every case. */
int newPropsFromFile(CProperties2** handle, const char* path, int keepLiterals, int flags);
int newPropsFromStream(CProperties2** handle, FILE* stream, int keepLiterals, int flags);
int destroyProps(CProperties2* handle);

/* Loads text held in memory (length bytes, NUL bytes make the load fail). */
int cpropsLoadFromBuffer(CProperties2* handle, const char* data, size_t length);
/* Prefix of the directory client's settings files for later loads. */
int cpropsSetSettingsPrefix(CProperties2* handle, const char* prefix);
/* Prefix of the trace file for handles created later; NULL restores the default. */
void cpropsSetTracePrefix(const char* prefix);

void cpropsFreeValueList(CPropsValueList* list);

/* Opens a file for reading if it passes the configuration security check
 * (owned by root, not world-writable, not a symbolic link, regular, one hard
 * link), checked on the opened descriptor. Returns 0 and *fd, or a negative
 * status with *reason set to one of CPROPS_REFUSAL_*. */
int cpropsSecureOpen(const char* path, int* fd, int* reason);

#ifdef __cplusplus
}
#endif

#endif /* OFW_CPROPERTIES_H */
