/* The three library controls the codec wrappers need, as plain functions: the
 * library's control calls are variadic macros, which C++ code cannot type-check.
 * Each call goes to one library object; thread rules are those of that object. */
#pragma once

#include <opus.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the target bitrate in bits per second; returns the library status. */
int zoranth_opus_encoder_set_bitrate(OpusEncoder* encoder, opus_int32 bitrate);

/* Tells the encoder its input is music; returns the library status. */
int zoranth_opus_encoder_set_signal_music(OpusEncoder* encoder);

/* Returns the decoder to its freshly created state; returns the library status. */
int zoranth_opus_decoder_reset(OpusDecoder* decoder);

#ifdef __cplusplus
}
#endif
