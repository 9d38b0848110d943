#include "array_stream.hpp"

#include <cerrno>
#include <new>

namespace brinewick::arrow {

namespace {

struct StreamState {
    std::unique_ptr<BatchProducer> producer;
    std::string error;
    int failed = 0;  // the errno of the first failure of get_next, then sticky
    bool ended = false;
};

StreamState* state_of(ArrowArrayStream* stream) noexcept { return static_cast<StreamState*>(stream->private_data); }

void mark_released(ArrowArray* out) noexcept {
    out->length = 0;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 0;
    out->n_children = 0;
    out->buffers = nullptr;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = nullptr;
    out->private_data = nullptr;
}

// Runs a producer call; nothing may leave a C callback as an exception.
template <typename Call>
int guarded(StreamState* s, Call&& call) noexcept {
    try {
        const int code = call();
        if (code != 0 && s->error.empty()) s->error = "the batch producer failed";
        return code;
    } catch (const std::bad_alloc&) {
        s->error = "out of memory while building an Arrow batch";
        return ENOMEM;
    } catch (const std::exception& e) {
        try {
            s->error = e.what();
        } catch (...) {
        }
        return EIO;
    } catch (...) {
        s->error = "the batch producer failed";
        return EIO;
    }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamState* s = state_of(stream);
    if (s->failed != 0) return s->failed;
    s->error.clear();
    return guarded(s, [&] { return s->producer->schema(out, s->error); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState* s = state_of(stream);
    if (s->failed != 0) return s->failed;
    if (s->ended) {
        mark_released(out);
        return 0;
    }
    s->error.clear();
    mark_released(out);
    const int code = guarded(s, [&] { return s->producer->next(out, s->error); });
    if (code != 0) {
        if (out->release != nullptr) out->release(out);  // a producer that filled it and then failed
        mark_released(out);
        s->failed = code;
        return code;
    }
    if (out->release == nullptr) s->ended = true;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
    StreamState* s = state_of(stream);
    return s->error.empty() ? nullptr : s->error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
    if (stream == nullptr || stream->release == nullptr) return;
    delete state_of(stream);  // the producer goes with it, and any batch it still held
    stream->release = nullptr;
    stream->private_data = nullptr;
}

}  // namespace

bool make_array_stream(std::unique_ptr<BatchProducer> producer, ArrowArrayStream* out) noexcept {
    StreamState* s = new (std::nothrow) StreamState;
    if (s == nullptr) return false;
    s->producer = std::move(producer);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = s;
    return true;
}

}  // namespace brinewick::arrow
