#include "input_window.hpp"

#include "decompress.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <variant>

namespace brinewick::stream {

Result<InputWindow> InputWindow::open(const std::string& path, std::size_t read_size, StreamControl& control,
                                      const SourceOpener& opener) {
    auto source = open_input_source(path, control.cancel, opener);
    if (!source.is_ok()) return std::move(source).status();
    return InputWindow(std::move(source).value(), path, read_size, control);
}

Result<OpenedInput> open_input(const std::string& path, std::size_t read_size, StreamControl& control,
                               const EncodingRequest& request, const SourceOpener& opener) {
    auto source = open_input_source(path, control.cancel, opener);
    if (!source.is_ok()) return std::move(source).status();
    EncodingRequest asked = request;
    // Searching past the sample reads a local file twice, in the page cache;
    // an object or a decompressor would be fetched or inflated twice.
    asked.search_rest = !opener && source.value()->compression() == nullptr;
    auto decoded = decode_source(std::move(source).value(), asked, control.cancel);
    if (!decoded.is_ok()) return std::move(decoded).status();
    DecodedSource& d = decoded.value();
    OpenedInput opened{InputWindow(std::move(d.source), path, read_size, control), std::move(d.state)};
    opened.window.set_decoding(opened.state);
    return opened;
}

InputWindow::InputWindow(std::unique_ptr<ByteSource> source, std::string path, std::size_t read_size,
                         StreamControl& control) noexcept
    : source_(std::move(source)), path_(std::move(path)), read_size_(read_size == 0 ? 1 : read_size),
      control_(&control) {
    const auto size = source_->consumed_total();
    control.bytes_total.store(size ? static_cast<std::int64_t>(*size) : -1);
    control.bytes_done.store(0);
}

InputWindow::InputWindow(InputWindow&& other) noexcept
    : source_(std::move(other.source_)),
      path_(std::move(other.path_)),
      read_size_(other.read_size_),
      control_(other.control_),
      buffer_(std::move(other.buffer_)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)),
      offset_(other.offset_),
      at_end_(other.at_end_),
      decode_(std::move(other.decode_)) {}

Status InputWindow::seek(std::uint64_t offset) {
    if (!source_->can_seek() || end_ != begin_ || offset_ != 0 || at_end_) {
        return Status::io(IoError::from_errno(ESPIPE), path_);
    }
    BRINEWICK_RETURN_IF_ERROR(source_->seek(offset));
    offset_ = offset;
    return Status::ok();
}

void InputWindow::drop_outsized() noexcept {
    const std::size_t held = buffer_.capacity();
    if (held >= (std::size_t{1} << 20) && held / 4 > read_size_) memory::free_now(buffer_.release());
}

Status InputWindow::rewind(std::uint64_t offset) {
    if (!source_->can_seek()) return Status::io(IoError::from_errno(ESPIPE), path_);
    BRINEWICK_RETURN_IF_ERROR(source_->seek(offset));
    drop_outsized();
    begin_ = end_ = buffer_.capacity() != 0 ? kLead : 0;
    offset_ = offset;
    at_end_ = false;
    return Status::ok();
}

InputWindow::~InputWindow() = default;

Status InputWindow::make_room(std::size_t want) {
    const std::size_t pending = end_ - begin_;
    const std::size_t held = buffer_.capacity();  // 0: no buffer yet
    if (held != 0 && held - end_ >= want) return Status::ok();
    if (held != 0 && held - kLead - pending >= want && begin_ != kLead) {
        // Slide the pending bytes to the front; they are at most one row.
        std::memmove(buffer_.data() + kLead, buffer_.data() + begin_, pending);
        begin_ = kLead;
        end_ = kLead + pending;
        return Status::ok();
    }
    // Geometric growth keeps a long row's re-reads linear in its length.
    std::size_t capacity = held * 2;
    if (capacity < kLead + pending + want) capacity = kLead + pending + want;
    if (capacity < pending + kLead) return Status::out_of_memory(path_);
    memory::Bytes grown;
    if (!grown.try_reserve(capacity)) return Status::out_of_memory(path_);
    if (pending != 0) std::memcpy(grown.data() + kLead, buffer_.data() + begin_, pending);
    drop_outsized();
    buffer_ = std::move(grown);
    begin_ = kLead;
    end_ = kLead + pending;
    return Status::ok();
}

Result<InputWindow::Handed> InputWindow::hand_over(std::size_t count, Handed spare) {
    const std::size_t rest = end_ - begin_ - count;
    if (rest > count + read_size_) {
        // The buffer holds far more than this chunk (a long prefix read to
        // settle the dialect): handed over, it would go with the chunk and
        // the window would copy the rest into a new one, again and again,
        // and chunks held for a row that runs on would each keep a buffer of
        // all that followed them. The chunk's bytes are copied out instead.
        Handed out{std::move(spare.buffer), kLead};
        if (out.buffer.capacity() < kLead + count) {
            out.buffer = memory::Bytes{};
            if (!out.buffer.try_reserve(kLead + count + count / 4)) return Status::out_of_memory(path_);
        }
        std::memcpy(out.buffer.data() + kLead, buffer_.data() + begin_, count);
        discard_before(count);
        return out;
    }
    // Room for the rest and one more read; a new buffer gets a quarter more,
    // so that spares of the usual size fit however the cuts fall. A buffer
    // grown for one long row goes with that row's chunk and does not make
    // every later buffer as large.
    const std::size_t need = kLead + rest + read_size_;
    if (need < rest) return Status::out_of_memory(path_);
    if (spare.buffer.capacity() < need) {
        const std::size_t capacity = need + need / 4 > need ? need + need / 4 : need;
        if (!spare.buffer.try_reserve(capacity)) return Status::out_of_memory(path_);
    }
    if (rest != 0) std::memcpy(spare.buffer.data() + kLead, buffer_.data() + begin_ + count, rest);
    Handed out{std::move(buffer_), begin_};
    buffer_ = std::move(spare.buffer);
    begin_ = kLead;
    end_ = kLead + rest;
    offset_ += count;
    return out;
}

Status InputWindow::read_more(std::size_t want, bool exact) {
    if (at_end_) return Status::ok();
    if (want == 0) want = 1;
    // Room for whole pieces: a piece is never split to fit.
    const std::size_t pieces = (want + read_size_ - 1) / read_size_;
    BRINEWICK_RETURN_IF_ERROR(make_room(exact ? want : pieces * read_size_));
    std::size_t added = 0;
    while (added < want) {
        if (buffer_.capacity() == end_) {  // short reads used the room up
            BRINEWICK_RETURN_IF_ERROR(make_room(read_size_));
        }
        const std::size_t room = buffer_.capacity() - end_;
        std::size_t ask = read_size_ < room ? read_size_ : room;
        if (exact && ask > want - added) ask = want - added;
        auto got = source_->read(buffer_.data() + end_, ask, control_->cancel);
        if (!got.is_ok()) return std::move(got).status();
        const std::size_t n = got.value();
        if (n == 0) {
            at_end_ = true;
            break;
        }
        end_ += n;
        added += n;
        // Bytes read again after a rewind are not progress.
        const std::uint64_t done = source_->consumed().value_or(bytes_read());
        if (done > control_->bytes_done.load(std::memory_order_relaxed)) {
            control_->bytes_done.store(done, std::memory_order_relaxed);
        }
    }
    return Status::ok();
}

Status InputWindow::learn_end() {
    const auto size = source_->size();
    if (at_end_ || !size || bytes_read() < *size) return Status::ok();
    char byte = 0;
    auto got = source_->read(&byte, 1, control_->cancel);
    if (!got.is_ok()) return std::move(got).status();
    if (got.value() == 0) {
        at_end_ = true;
        return Status::ok();
    }
    BRINEWICK_RETURN_IF_ERROR(make_room(1));
    buffer_.data()[end_++] = byte;
    return Status::ok();
}

void InputWindow::finish(StreamSummary& summary) const {
    summary.bytes_read = bytes_read();
    control_->bytes_done.store(source_->consumed().value_or(summary.bytes_read));
    const char* compression = source_->compression();
    summary.compression = compression != nullptr ? compression : "";
    summary.input_break = source_->broke_off();
}

}  // namespace brinewick::stream
