#include "connector/exact_json.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <charconv>
#include <string>

namespace vaduna::connector {

namespace json = boost::json;

namespace {

// A handler of json::basic_parser that builds values as json::parser does, but reads a number with a
// fraction or an exponent from its text (std::from_chars rounds correctly).
class ExactHandler {
 public:
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) { return stack.push_array(n), true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) { return stack.push_object(n), true; }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) { return stack.push_chars(s), true; }
  bool on_string(json::string_view s, std::size_t, json::error_code&) { return stack.push_string(s), true; }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) { return stack.push_chars(s), true; }
  bool on_key(json::string_view s, std::size_t, json::error_code&) { return stack.push_key(s), true; }
  bool on_number_part(json::string_view s, json::error_code&) { return number_.append(s), true; }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number_.clear();
    return stack.push_int64(i), true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number_.clear();
    return stack.push_uint64(u), true;
  }
  bool on_double(double rounded, json::string_view s, json::error_code&) {
    number_.append(s);
    double exact = 0;
    const auto read = std::from_chars(number_.data(), number_.data() + number_.size(), exact);
    number_.clear();
    // Out of a double's range: Boost's reading (an infinity or a zero) stands.
    return stack.push_double(read.ec == std::errc{} ? exact : rounded), true;
  }
  bool on_bool(bool b, json::error_code&) { return stack.push_bool(b), true; }
  bool on_null(json::error_code&) { return stack.push_null(), true; }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  json::value_stack stack;

 private:
  std::string number_;
};

}  // namespace

json::value ParseExact(std::string_view text, json::error_code& error, const json::parse_options& options) {
  json::basic_parser<ExactHandler> parser(options);
  parser.handler().stack.reset();
  error = {};
  const std::size_t read = parser.write_some(false, text.data(), text.size(), error);
  if (!error && read < text.size()) error = json::error::extra_data;
  if (!error && !parser.done()) error = json::error::incomplete;
  if (error) return nullptr;
  return parser.handler().stack.release();
}

}  // namespace vaduna::connector
