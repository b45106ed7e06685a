// JSON text read into boost::json values with every number exactly as
// written: Boost 1.81's own parser rounds some 17-digit numbers one unit off
// in the last place, and this Boost has no option to ask for precision.
#pragma once

#include <boost/json/error.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/value.hpp>

#include <string_view>

namespace vaduna::connector {

// The value of text; a null value with error set when text is not one JSON value within options' limits.
boost::json::value ParseExact(std::string_view text, boost::json::error_code& error,
                              const boost::json::parse_options& options = {});

}  // namespace vaduna::connector
