#pragma once

#include <span>

namespace demodata {

//! A postcode with its place.
struct Place
{
    const char* plz;
    const char* ort;
};

//! Austrian surnames, first names, street names (without number) and places, UTF-8, many with umlauts or ß.
std::span<const char* const> surnames();
std::span<const char* const> firstNames();
std::span<const char* const> streets();
std::span<const Place> places();

} // namespace demodata
