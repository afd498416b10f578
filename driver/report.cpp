#include "report.h"

#include <cmath>
#include <iostream>
#include <vector>

#include "console.h"

namespace {

const size_t longest_fixed_text = 19;

// A non-negative integer as decimal digits, least significant first.
typedef std::vector<uint8_t> decimal;

void multiply(decimal& number, uint32_t factor) {
    uint64_t carry = 0;
    for (uint8_t& digit : number) {
        uint64_t product = static_cast<uint64_t>(digit) * factor + carry;
        digit = static_cast<uint8_t>(product % 10);
        carry = product / 10;
    }
    for (; carry != 0; carry /= 10) number.push_back(static_cast<uint8_t>(carry % 10));
}

void add(decimal& number, const decimal& addend) {
    if (number.size() < addend.size()) number.resize(addend.size(), 0);
    unsigned carry = 0;
    for (size_t i = 0; i < number.size(); ++i) {
        unsigned sum = number[i] + carry + (i < addend.size() ? addend[i] : 0);
        number[i] = static_cast<uint8_t>(sum % 10);
        carry = sum / 10;
    }
    if (carry != 0) number.push_back(static_cast<uint8_t>(carry));
}

// Divides by two, dropping the remainder.
void halve(decimal& number) {
    unsigned remainder = 0;
    for (size_t i = number.size(); i-- > 0;) {
        unsigned current = remainder * 10 + number[i];
        number[i] = static_cast<uint8_t>(current / 2);
        remainder = current % 2;
    }
    while (!number.empty() && number.back() == 0) number.pop_back();
}

decimal power_of_two(int exponent) {
    decimal number(1, 1);
    for (int i = 0; i < exponent; ++i) multiply(number, 2);
    return number;
}

// round(magnitude * 10^precision), halves away from zero, computed exactly:
// magnitude is mantissa * 2^exponent with an integer mantissa.
decimal scaled_and_rounded(uint32_t mantissa, int exponent, int precision) {
    decimal number;
    for (uint32_t rest = mantissa; rest != 0; rest /= 10)
        number.push_back(static_cast<uint8_t>(rest % 10));
    for (int i = 0; i < precision; ++i) multiply(number, 10);
    if (exponent >= 0) {
        for (int i = 0; i < exponent; ++i) multiply(number, 2);
        return number;
    }
    // floor((2 * n + 2^k) / 2^(k + 1)) with k = -exponent is n / 2^k rounded,
    // halves upwards; n is the magnitude, so that is away from zero.
    int shift = -exponent;
    multiply(number, 2);
    add(number, power_of_two(shift));
    for (int i = 0; i <= shift; ++i) halve(number);
    return number;
}

}  // namespace

std::string format_fixed(float value, int width, int precision) {
    if (precision < 0) precision = 0;
    if (width < 0) width = 0;
    std::string text;
    if (std::signbit(value)) text += '-';
    float magnitude = std::fabs(value);
    if (std::isnan(magnitude)) {
        text += "nan";
    } else if (std::isinf(magnitude)) {
        text += "inf";
    } else {
        // magnitude = fraction * 2^binary_exponent, fraction in [0.5, 1),
        // so fraction * 2^24 is the integer mantissa of a float.
        int binary_exponent = 0;
        float fraction = std::frexp(magnitude, &binary_exponent);
        uint32_t mantissa = static_cast<uint32_t>(std::ldexp(fraction, 24));
        decimal digits = scaled_and_rounded(mantissa, binary_exponent - 24, precision);
        // At least one digit before the point.
        if (digits.size() < static_cast<size_t>(precision) + 1)
            digits.resize(static_cast<size_t>(precision) + 1, 0);
        for (size_t i = digits.size(); i-- > static_cast<size_t>(precision);)
            text += static_cast<char>('0' + digits[i]);
        if (precision > 0) {
            text += '.';
            for (size_t i = static_cast<size_t>(precision); i-- > 0;)
                text += static_cast<char>('0' + digits[i]);
        }
    }
    if (text.size() < static_cast<size_t>(width))
        text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
    if (text.size() > longest_fixed_text) text.resize(longest_fixed_text);
    return text;
}

std::string seconds_text(uint32_t milliseconds) {
    return format_fixed(static_cast<float>(static_cast<double>(milliseconds) / 1000.0), 0, 2);
}

std::string percentage_text(double fraction) {
    return format_fixed(static_cast<float>(100.0 * fraction), 0, 2);
}

std::string hex_text(uint32_t value) {
    const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return text;
}

const exception_name exception_names[] = {
    {0x80000002u, "  EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003u, "  EXCEPTION_BREAKPOINT"},
    {0x80000004u, "  EXCEPTION_SINGLE_STEP"},
    {0xC0000005u, "  EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006u, "  EXCEPTION_IN_PAGE_ERROR"},
    {0xC000001Du, "  EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "  EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "  EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008Cu, "  EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "  EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "  EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "  EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090u, "  EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, "  EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092u, "  EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, "  EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094u, "  EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "  EXCEPTION_INT_OVERFLOW"},
    {0xC0000096u, "  EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FDu, "  EXCEPTION_STACK_OVERFLOW"},
};

const size_t exception_name_count = sizeof exception_names / sizeof exception_names[0];

const char* exception_name_line(uint32_t code) {
    for (size_t i = 0; i < exception_name_count; ++i)
        if (exception_names[i].code == code) return exception_names[i].line;
    return nullptr;
}

void write_report(std::ostream& out, const invoke_limits& limits, const invoke_result& result) {
    switch (result.outcome) {
    case INVOKE_OK:
        write_line(out, "User program successfully terminated");
        out << "  exit code:     " << result.exit_code;
        end_line(out);
        out << "  time consumed: " << seconds_text(result.cpu_time);
        if (limits.time_limit != 0) out << " of " << seconds_text(limits.time_limit);
        out << " sec";
        end_line(out);
        out << "  time passed:   " << seconds_text(result.wall_time) << " sec";
        end_line(out);
        out << "  peak memory:   " << result.peak_memory;
        if (limits.memory_limit != 0) out << " of " << limits.memory_limit;
        out << " bytes";
        end_line(out);
        break;
    case INVOKE_TIME_LIMIT:
        write_line(out, "Time limit exceeded");
        out << "Program failed to terminate within " << seconds_text(limits.time_limit) << " sec";
        end_line(out);
        break;
    case INVOKE_MEMORY_LIMIT:
        write_line(out, "Memory limit exceeded");
        out << "Program tried to allocate more than " << limits.memory_limit << " bytes";
        end_line(out);
        break;
    case INVOKE_IDLENESS_LIMIT:
        write_line(out, "Idleness limit exceeded");
        out << "Program utilized less than " << percentage_text(limits.required_utilization)
            << "% of processor time for more than " << seconds_text(limits.idleness_limit)
            << " sec";
        end_line(out);
        break;
    case INVOKE_CRASH: {
        write_line(out, "Crash");
        const char* name = exception_name_line(result.exception_code);
        if (name != nullptr) {
            write_line(out, name);
        } else {
            out << "  Unknown exception: " << hex_text(result.exception_code);
            end_line(out);
        }
        break;
    }
    case INVOKE_SECURITY_VIOLATION:
        out << "Security violation: " << (result.message != nullptr ? result.message : "");
        end_line(out);
        break;
    default:
        // Outcomes that the engine never produces may come without a message.
        out << "Invocation failed: " << (result.message != nullptr ? result.message : "");
        end_line(out);
        break;
    }
}

void print_report(const invoke_limits& limits, const invoke_result& result) {
    write_report(std::cout, limits, result);
}
