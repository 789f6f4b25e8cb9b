/* The records and exported names through which a DSP plug-in library and its host meet.
 *
 * Plain C so that a plug-in can be written in any language that speaks the platform's C calling
 * convention. Fields keep the order of the plug-in interface; pointer-sized fields take this
 * platform's pointer size, so offsets differ from the 32-bit originals but the order does not.
 *
 * The parent window handle is the host's top-level QWidget, or null when the host has no window
 * (a command-line renderer, the tests). The library instance handle is the dlopen handle. */
#ifndef VANTREL_MMPLUGINRECORDS_H
#define VANTREL_MMPLUGINRECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Oldest header version a host accepts. */
#define MMPLUGIN_MIN_HEADER_VERSION 16

/* The header functions, looked up in this order; the last one selects the second module layout. */
#define MMPLUGIN_HEADER_WINAMP "winampDSPGetHeader"
#define MMPLUGIN_HEADER_MM "MMPlugInDSPGetHeader"
#define MMPLUGIN_HEADER_WINAMP2 "winampDSPGetHeader2"

/* Most modules one library may offer. */
#define MMPLUGIN_MAX_MODULES 100

/* Module record of the first layout (libraries found through winampDSPGetHeader or
 * MMPlugInDSPGetHeader). The host writes rate, channels and frames before it initialises or
 * restarts the module; the sample entry processes one buffer of that many frames in place. */
typedef struct TMMPlugInModule1 TMMPlugInModule1;
struct TMMPlugInModule1 {
    const char* description;                   /* zero-terminated, owned by the library */
    void* hwndParent;                          /* written by the host when it opens the library */
    void* hDllInstance;                        /* written by the host when it opens the library */
    int32_t sampleRate;                        /* Hz */
    int32_t channels;                          /* interleaved 16-bit channels */
    int32_t framesPerBuffer;                   /* frames the sample entry gets per call */
    int32_t reserved1;                         /* not used */
    int32_t (*Init)(TMMPlugInModule1* module); /* 0 means success */
    int32_t (*Restart)(TMMPlugInModule1* module); /* 0 means success */
    void (*ModifySamples)(TMMPlugInModule1* module, int16_t* samples);
    void* reserved2; /* not used */
    void* reserved3; /* not used */
    void (*Quit)(TMMPlugInModule1* module);
};

/* Module record of the second layout (libraries found through winampDSPGetHeader2). The sample
 * entry processes `frames` interleaved frames in place and returns how many frames the buffer
 * holds afterwards. */
typedef struct TMMPlugInModule2 TMMPlugInModule2;
struct TMMPlugInModule2 {
    const char* description;                   /* zero-terminated, owned by the library */
    void* hwndParent;                          /* written by the host when it opens the library */
    void* hDllInstance;                        /* written by the host when it opens the library */
    void (*Config)(TMMPlugInModule2* module);  /* not called by the host */
    int32_t (*Init)(TMMPlugInModule2* module); /* 0 means success */
    int32_t (*ModifySamples)(TMMPlugInModule2* module, int16_t* samples, int32_t frames,
                             int32_t bits, int32_t channels, int32_t rate);
    void (*Quit)(TMMPlugInModule2* module);
    void* userData; /* free for the library */
};

/* The record the header function returns. The module getter answers the record of module
 * `index` (a TMMPlugInModule1 or TMMPlugInModule2 by the header function found), or null when
 * there is no such module. */
typedef struct TMMPlugInHeader {
    int32_t version; /* at least MMPLUGIN_MIN_HEADER_VERSION */
    const char* description;
    void* (*getModule)(int32_t index);
} TMMPlugInHeader;

typedef TMMPlugInHeader* (*TMMPlugInHeaderFunction)(void);

#ifdef __cplusplus
}
#endif

#endif
