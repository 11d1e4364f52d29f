#include "journal.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string_view>

namespace capecho {
namespace {

constexpr char journal_path[] = "/run/systemd/journal/socket";
constexpr char identifier[] = "capecho-server";
constexpr char field_prefix[] = "CAPECHO_";
// The journal refuses longer field names.
constexpr size_t name_limit = 64;

// Appends fields to a bounded buffer; once one does not fit, nothing more is
// taken and `fits` says so.
class entry_builder {
 public:
  entry_builder(char* buf, size_t capacity) : buf_(buf), capacity_(capacity) {}

  void field(std::string_view name, std::string_view value) {
    if (value.find('\n') == std::string_view::npos) {
      put(name) && put("=") && put(value) && put("\n");
      return;
    }
    // KEY, a line feed, the value's length as 64 bits little-endian, the value, a line feed.
    unsigned char length[8];
    for (size_t i = 0; i < sizeof length; ++i)
      length[i] = static_cast<unsigned char>(static_cast<uint64_t>(value.size()) >> (8 * i));
    put(name) && put("\n") && put({reinterpret_cast<const char*>(length), sizeof length}) &&
        put(value) && put("\n");
  }
  // CAPECHO_ and the event's own key, upper-cased, anything but A-Z, 0-9 and
  // _ made _, as the journal accepts field names.
  void event_field(const char* key, std::string_view value) {
    char name[name_limit];
    size_t n = sizeof field_prefix - 1;
    memcpy(name, field_prefix, n);
    for (const char* k = key; *k != '\0' && n < sizeof name; ++k) {
      const char c = *k >= 'a' && *k <= 'z' ? static_cast<char>(*k - 'a' + 'A') : *k;
      name[n++] = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
    }
    field({name, n}, value);
  }
  bool fits() const { return fits_; }
  size_t used() const { return used_; }

 private:
  bool put(std::string_view s) {
    if (!fits_ || s.size() > capacity_ - used_) return fits_ = false;
    memcpy(buf_ + used_, s.data(), s.size());
    used_ += s.size();
    return true;
  }
  char* buf_;
  size_t capacity_;
  size_t used_ = 0;
  bool fits_ = true;
};

}  // namespace

size_t format_journal_entry(char* buf, size_t capacity, int priority, const char* event,
                            log_fields fields, const char* message) {
  entry_builder b(buf, capacity);
  char number[32];
  const auto text = [&number](int n) { return std::string_view(number, n < 0 ? 0 : n); };
  b.field("MESSAGE", message);
  b.field("PRIORITY", text(snprintf(number, sizeof number, "%d", priority)));
  b.field("SYSLOG_IDENTIFIER", identifier);
  b.field("CAPECHO_EVENT", event);
  for (const log_field& f : fields) {
    switch (f.type) {
      case log_field::kind::text:
        b.event_field(f.key, f.text);
        break;
      case log_field::kind::number:
        b.event_field(f.key, text(snprintf(number, sizeof number, "%llu", f.number)));
        break;
      case log_field::kind::real:
        b.event_field(f.key, text(snprintf(number, sizeof number, "%.6g", f.real)));
        break;
      case log_field::kind::absent:
        break;
    }
  }
  return b.fits() ? b.used() : 0;
}

void journal_socket::open() {
  fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  open_error_ = fd_.valid() ? 0 : errno;
}

int journal_socket::send(const char* entry, size_t len, const char*& call) const {
  if (!fd_.valid()) {
    call = "socket";
    return open_error_;
  }
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  static_assert(sizeof journal_path <= sizeof to.sun_path);
  memcpy(to.sun_path, journal_path, sizeof journal_path);
  call = "sendto";
  for (;;) {
    // Unconnected, so a restarted journal is found again by its path.
    const ssize_t n =
        sendto(fd_.get(), entry, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace capecho
