#include "codecs/kelMpg123Proc.h"

namespace {

// The feed-mode interface beyond the typed pointers: a library lacking any
// of them is not the one the decoders were written for.
constexpr const char* kOtherExports[] = {"mpg123_plain_strerror",
                                         "mpg123_errcode",
                                         "mpg123_decoders",
                                         "mpg123_supported_decoders",
                                         "mpg123_current_decoder",
                                         "mpg123_rates",
                                         "mpg123_encodings",
                                         "mpg123_format_all",
                                         "mpg123_format_support",
                                         "mpg123_getparam",
                                         "mpg123_decode",
                                         "mpg123_eq",
                                         "mpg123_geteq",
                                         "mpg123_reset_eq",
                                         "mpg123_volume",
                                         "mpg123_volume_change",
                                         "mpg123_getvolume",
                                         "mpg123_scan",
                                         "mpg123_seek",
                                         "mpg123_feedseek",
                                         "mpg123_seek_frame",
                                         "mpg123_tell",
                                         "mpg123_tellframe",
                                         "mpg123_timeframe",
                                         "mpg123_init_string",
                                         "mpg123_free_string",
                                         "mpg123_resize_string",
                                         "mpg123_copy_string",
                                         "mpg123_add_string",
                                         "mpg123_set_string",
                                         "mpg123_meta_check",
                                         "mpg123_id3",
                                         "mpg123_icy",
                                         "mpg123_parnew",
                                         "mpg123_new_pars",
                                         "mpg123_delete_pars",
                                         "mpg123_fmt_none",
                                         "mpg123_fmt_all",
                                         "mpg123_fmt",
                                         "mpg123_fmt_support",
                                         "mpg123_par",
                                         "mpg123_getpar",
                                         "mpg123_replace_buffer",
                                         "mpg123_outblock",
                                         "mpg123_replace_reader",
                                         "mpg123_open",
                                         "mpg123_open_fd",
                                         "mpg123_decode_frame",
                                         "mpg123_index",
                                         "mpg123_length",
                                         "mpg123_set_filesize",
                                         nullptr};

} // namespace

bool kelMpg123Proc::resolve(const kelDynLib& lib) noexcept
{
    bool ok = bind(lib, init, "mpg123_init");
    ok = bind(lib, exit, "mpg123_exit") && ok;
    ok = bind(lib, newHandle, "mpg123_new") && ok;
    ok = bind(lib, deleteHandle, "mpg123_delete") && ok;
    ok = bind(lib, param, "mpg123_param") && ok;
    ok = bind(lib, formatNone, "mpg123_format_none") && ok;
    ok = bind(lib, format, "mpg123_format") && ok;
    ok = bind(lib, openFeed, "mpg123_open_feed") && ok;
    ok = bind(lib, close, "mpg123_close") && ok;
    ok = bind(lib, feed, "mpg123_feed") && ok;
    ok = bind(lib, read, "mpg123_read") && ok;
    ok = bind(lib, getFormat, "mpg123_getformat") && ok;
    ok = bind(lib, info, "mpg123_info") && ok;
    ok = bind(lib, decoder, "mpg123_decoder") && ok;
    ok = bind(lib, encSize, "mpg123_encsize") && ok;
    ok = bind(lib, strError, "mpg123_strerror") && ok;
    return exportsAll(lib, kOtherExports) && ok;
}

void kelMpg123Proc::clear() noexcept
{
    init = nullptr;
    exit = nullptr;
    newHandle = nullptr;
    deleteHandle = nullptr;
    param = nullptr;
    formatNone = nullptr;
    format = nullptr;
    openFeed = nullptr;
    close = nullptr;
    feed = nullptr;
    read = nullptr;
    getFormat = nullptr;
    info = nullptr;
    decoder = nullptr;
    encSize = nullptr;
    strError = nullptr;
}
