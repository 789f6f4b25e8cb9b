/* The stream interface of the MP3 encoder library "lame_enc.so": a BladeEnc-style set of C
 * functions that the MP3 encoder component resolves by name after loading the library on first
 * need. The library (files/lame_enc/) implements it on libmp3lame.
 *
 * All operations return BE_ERR_SUCCESSFUL (0) or one of the error codes below. Records are packed
 * and little-endian; Booleans are 32-bit with true written as 0xFFFFFFFF (any non-zero counts). */
#ifndef VANTREL_LAME_ENC_RECORDS_H
#define VANTREL_LAME_ENC_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BE_CONFIG_LAME 256
#define BE_CONFIG_VERSION 1
#define BE_CONFIG_SIZE 331

#define BE_ERR_SUCCESSFUL 0
#define BE_ERR_INVALID_FORMAT 1
#define BE_ERR_INVALID_FORMAT_PARAMETERS 2
#define BE_ERR_NO_MORE_HANDLES 3
#define BE_ERR_INVALID_HANDLE 4
#define BE_ERR_BUFFER_TOO_SMALL 5

/* Channel modes of the configuration (nMode). BE_MP3_MODE_MONO also means one input channel. */
#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

/* MPEG versions of the configuration (dwMpegVersion). */
#define BE_MPEG2 0
#define BE_MPEG1 1
#define BE_MPEG25 2

#pragma pack(push, 1)
/* The stream configuration: 331 bytes. */
typedef struct BE_CONFIG {
    uint32_t dwConfig;        /* BE_CONFIG_LAME */
    uint32_t dwStructVersion; /* BE_CONFIG_VERSION */
    uint32_t dwStructSize;    /* BE_CONFIG_SIZE */
    uint32_t dwSampleRate;    /* input frames per second */
    uint32_t dwReSampleRate;  /* output frames per second; 0 = the library decides */
    int32_t nMode;            /* BE_MP3_MODE_... */
    uint32_t dwBitrate;       /* kbit/s: the constant bitrate, or the VBR minimum */
    uint32_t dwMaxBitrate;    /* kbit/s: the VBR maximum */
    int32_t nPreset;          /* -1 = none */
    uint32_t dwMpegVersion;   /* BE_MPEG... */
    uint32_t dwPsyModel;
    uint32_t dwEmphasis;
    int32_t bPrivate;
    int32_t bCRC;
    int32_t bCopyright;
    int32_t bOriginal;
    int32_t bWriteVBRHeader; /* put an Xing/Info tag frame at the start of the stream */
    int32_t bEnableVBR;
    int32_t nVBRQuality;   /* 0 (best) ... 9 */
    uint32_t dwVbrAbr_bps; /* kbit/s: mean bitrate of ABR; 0 = not ABR */
    int32_t nVbrMethod;    /* -1 none, 0 default, 1 old, 2 new, 3 MTRH, 4 ABR */
    int32_t bNoRes;        /* no bit reservoir */
    int32_t bStrictIso;
    uint16_t nQuality; /* 0 (best) ... 9 in the low byte */
    uint8_t btReserved[BE_CONFIG_SIZE - 94];
} BE_CONFIG;
#pragma pack(pop)

typedef struct BE_VERSION {
    uint8_t byDLLMajorVersion;
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion; /* of the encoder engine */
    uint8_t byMinorVersion;
} BE_VERSION;

/* An open stream; owned by the library. */
typedef struct LameEncStream* HBE_STREAM;

/* Opens a stream for `config`. It takes exactly *samples 16-bit values (interleaved when the input
 * has two channels) per beEncodeChunk, and one call never produces more than *outputBytes. */
typedef int32_t (*BEINITSTREAM)(const BE_CONFIG* config, uint32_t* samples, uint32_t* outputBytes,
                                HBE_STREAM* stream);
/* Encodes `samples` 16-bit values into `output` (room for the stream's *outputBytes); *written
 * is the byte count, possibly 0. */
typedef int32_t (*BEENCODECHUNK)(HBE_STREAM stream, uint32_t samples, const int16_t* input,
                                 uint8_t* output, uint32_t* written);
/* Encodes what the stream still holds; *written as above. */
typedef int32_t (*BEDEINITSTREAM)(HBE_STREAM stream, uint8_t* output, uint32_t* written);
/* Ends the stream. Its tag frame stays with the library until beWriteInfoTag or
 * beWriteVBRHeader writes it, or the next stream is closed. */
typedef int32_t (*BECLOSESTREAM)(HBE_STREAM stream);
typedef void (*BEVERSION)(BE_VERSION* version);
/* Writes the tag frame of the stream most recently closed into the finished file `fileName`. */
typedef int32_t (*BEWRITEVBRHEADER)(const char* fileName);
/* Writes the tag frame of the closed `stream` into the finished file `fileName` (a plain MP3
 * stream, or a RIFF/WAVE file whose "data" chunk holds the stream). */
typedef int32_t (*BEWRITEINFOTAG)(HBE_STREAM stream, const char* fileName);

#ifdef __cplusplus
}
#endif

#endif
