#include "python/messages.hpp"

#include "python/error.hpp"

namespace quorbis::python {
namespace {

std::string_view value_of(std::string_view field, std::initializer_list<Field> fields) {
  for (const Field& f : fields) {
    if (f.first == field) return f.second;
  }
  fault(cat({"no value for the field {", field, "} of a message"}));
}

}  // namespace

std::string format(const Message& message, std::initializer_list<Field> fields) {
  const std::string_view text = message.text;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool doubled = i + 1 < text.size() && text[i + 1] == c;
    if ((c == '{' || c == '}') && doubled) {
      out += c;
      ++i;
    } else if (c == '{') {
      const std::size_t end = text.find('}', i);
      if (end == std::string_view::npos) fault(cat({"unclosed field in the message ", message.name}));
      out += value_of(text.substr(i + 1, end - i - 1), fields);
      i = end;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace quorbis::python
