#include "meshtext/color.h"

#include <cmath>

#include "meshtext/format_number.h"

bool PackColor(const float values[4], uint32_t& color, int& badIndex) {
    uint32_t packed = 0;
    for (int k = 0; k < 4; ++k) {
        // The product of a float and 255 is exact in double precision, and
        // truncation toward zero gives 0 to 255 for exactly the products
        // above -1 and below 256.
        double product = static_cast<double>(values[k]) * 255.0;
        if (!(product > -1.0 && product < 256.0)) {
            badIndex = k;
            return false;
        }
        packed |= static_cast<uint32_t>(product) << (24 - 8 * k);
    }
    color = packed;
    return true;
}

std::string ColorValueMessage(float value) {
    if (std::isnan(value)) return "colour value nan is not a number";
    return "colour value " + ShortestText(value) + " times 255 is outside 0 to 255";
}

bool ParseColorOrder(std::string_view text, ColorOrder* order) {
    if (text == "argb") {
        *order = ColorOrder::argb;
    } else if (text == "rgba") {
        *order = ColorOrder::rgba;
    } else {
        return false;
    }
    return true;
}
