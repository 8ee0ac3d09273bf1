#include "opus_shim/opus_shim.h"

int zoranth_opus_encoder_set_bitrate(OpusEncoder* encoder, opus_int32 bitrate) {
    return opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrate));
}

int zoranth_opus_encoder_set_signal_music(OpusEncoder* encoder) {
    return opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
}

int zoranth_opus_decoder_reset(OpusDecoder* decoder) {
    return opus_decoder_ctl(decoder, OPUS_RESET_STATE);
}
