#include "array_stream.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>

namespace brinewick::arrow {

namespace {

struct StreamState {
    std::unique_ptr<BatchProducer> producer;
    std::string error;  // get_last_error's text
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

// What get_last_error says for a failure. Outside a file, running out of
// memory in a stream can only be while building its batches.
std::string error_text(const Status& status) {
    if (status.kind() == Status::Kind::OutOfMemory && status.path().empty()) {
        return "out of memory while building an Arrow batch";
    }
    std::string text = status.text();
    return text.empty() ? "the batch producer failed" : text;
}

// Runs a producer call and gives the C callback's result: 0, or the
// failure's errno with its text kept for get_last_error. The one place a
// Status becomes the C stream's error; nothing may leave a C callback as an
// exception.
template <typename Call>
int guarded(StreamState* s, Call&& call) noexcept {
    Status status;
    try {
        status = call();
    } catch (const std::bad_alloc&) {
        status = Status::out_of_memory();
    } catch (const std::exception& e) {
        status = internal_fault(e.what());
    } catch (...) {
        status = internal_fault("the batch producer failed");
    }
    if (status.is_ok()) return 0;
    try {
        s->error = error_text(status);
    } catch (...) {
        s->error.clear();  // get_last_error gives NULL
    }
    return status.error_number() != 0 ? status.error_number() : EIO;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamState* s = state_of(stream);
    if (s->failed != 0) return s->failed;
    s->error.clear();
    return guarded(s, [&] { return s->producer->schema(out); });
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
    const int code = guarded(s, [&] { return s->producer->next(out); });
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
