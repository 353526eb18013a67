// The waits of the link, in one place. The program keeps these values; tests
// shorten them through LinkSession::setTiming where the exact interval is not
// the point of the test.
#pragma once

#include <QtGlobal>

struct LinkTiming {
    // The first byte of a listing must come this soon after the "d".
    int listingStartMs = 4000;
    // A listing or clock reply ends when the line has been quiet this long; so
    // does a downloaded file once its listed size is in (nothing more is its own),
    // and the draining of a file that was refused.
    int replyQuietMs = 600;
    // A download that hears nothing for this long is given up.
    int downloadStallMs = 2000;
    // After an upload request or data chunk: the port must report progress within this.
    int uploadWriteMs = 6000;
    // After a write report that left bytes of the chunk pending.
    int uploadPendingMs = 4000;
    // Between two uploaded files, so the server has stored the first one.
    int uploadFilePauseMs = 500;
};

// Upload data goes out in writes of at most this many bytes, one at a time.
constexpr qint64 kUploadChunkBytes = 100000;
