// The checks of the command-line options, one per kind of value, so that an option several
// commands share (zoom, sizes, depth, time-outs, credentials) has one range everywhere and every
// refusal reads the same: "--zoom: expected a whole number from 1 to 8, got \"0\"".
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace apps {

// The zoom factors every command offers.
inline constexpr int kMinZoom = 1;
inline constexpr int kMaxZoom = 8;
// What the control keeps of the credentials (longer ones fail the login without a word).
inline constexpr std::size_t kMaxUserLength = 12;
inline constexpr std::size_t kMaxPasswordLength = 8;

// A whole number from lo to hi.
CLI::Validator WholeNumber(long long lo, long long hi);
// A number of seconds from lo to hi, fractions allowed.
CLI::Validator Seconds(double lo, double hi);
// One of the given whole numbers.
CLI::Validator OneOf(const std::vector<int>& values);
// Text of at most `limit` characters; `what` names it in the refusal, which never repeats it
// (a password must not reach a terminal's scrollback).
CLI::Validator AtMostCharacters(std::size_t limit, const std::string& what);
// The zoom factor, the same range in every command.
const CLI::Validator& ZoomValidator();
// The depth of a control's screen: 32, 8 or 4 bits per pixel.
const CLI::Validator& DepthValidator();

// One plain line for a parse error of CLI11's: the option and what was wrong with it, in this
// project's words where CLI11's own are about its internals.
std::string PlainParseError(const CLI::ParseError& error);

}  // namespace apps
