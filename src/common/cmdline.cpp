#include "common/cmdline.h"

namespace qlm {

namespace {

bool Is_Blank(char c) { return c == ' ' || c == '\t'; }

bool Is_Digit(char c) { return c >= '0' && c <= '9'; }

// Characters with no meaning to the shell outside quotes, anywhere in a word. Everything else
// (expansions, globs, operators, '~' and '#' at a word's start, line breaks...) sends the line
// through the shell, which always knows what it means.
bool Is_Plain(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || Is_Digit(c)) return true;
    switch (c) {
        case '_': case '-': case '.': case '/': case ',': case ':': case '@': case '+': case '%': case '=':
            return true;
        default:
            return false;
    }
}

class Reader {
public:
    explicit Reader(const std::string& line) : s_(line) {}

    bool At_End() const { return i_ >= s_.size(); }
    char Peek(size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
    void Skip(size_t n = 1) { i_ += n; }
    void Skip_Blanks() {
        while (!At_End() && Is_Blank(s_[i_])) ++i_;
    }

    // One word up to the next blank, its quotes removed. False when it is empty or holds anything
    // but plain characters, single-quoted parts and backslash-escaped characters. bPlainEq tells
    // whether an unquoted '=' was in it (an assignment when it leads the line).
    bool Word(std::string& out, bool& bPlainEq) {
        out.clear();
        bPlainEq = false;
        const size_t start = i_;
        while (!At_End() && !Is_Blank(s_[i_])) {
            const char c = s_[i_];
            if (c == '\'') {
                const size_t end = s_.find('\'', i_ + 1);
                if (end == std::string::npos) return false;
                out.append(s_, i_ + 1, end - i_ - 1);
                i_ = end + 1;
            } else if (c == '\\') {
                if (i_ + 1 >= s_.size() || s_[i_ + 1] == '\n') return false;  // a continued line
                out.push_back(s_[i_ + 1]);
                i_ += 2;
            } else if (Is_Plain(c)) {
                bPlainEq = bPlainEq || c == '=';
                out.push_back(c);
                ++i_;
            } else {
                return false;
            }
        }
        return i_ > start;
    }

private:
    const std::string& s_;
    size_t i_ = 0;
};

}  // namespace

bool Parse_Simple_Command(const std::string& line, SimpleCommand& cmd) {
    cmd = SimpleCommand{};
    Reader r(line);
    for (;;) {
        r.Skip_Blanks();
        if (r.At_End()) break;
        // An IO number is a single digit that starts a token and touches the '>'.
        const bool bNumbered = Is_Digit(r.Peek()) && r.Peek(1) == '>';
        if (bNumbered || r.Peek() == '>') {
            Redirection red;
            if (bNumbered) {
                red.fd = r.Peek() - '0';
                r.Skip();
            }
            r.Skip();  // '>'
            if (r.Peek() == '>') {
                red.append = true;
                r.Skip();
            } else if (r.Peek() == '&') {
                // Only "N>&M": closing ("&-") or a file named after '&' means something else.
                if (!Is_Digit(r.Peek(1)) || !(r.Peek(2) == '\0' || Is_Blank(r.Peek(2)))) return false;
                red.dupFrom = r.Peek(1) - '0';
                r.Skip(2);
                cmd.redirections.push_back(red);
                continue;
            }
            r.Skip_Blanks();
            bool bEq = false;
            if (!r.Word(red.path, bEq)) return false;
            cmd.redirections.push_back(std::move(red));
            continue;
        }
        std::string word;
        bool bPlainEq = false;
        if (!r.Word(word, bPlainEq)) return false;
        if (cmd.argv.empty() && bPlainEq) return false;  // "NAME=value" before a program
        cmd.argv.push_back(std::move(word));
    }
    return !cmd.argv.empty() && cmd.argv[0].find('/') != std::string::npos;
}

}  // namespace qlm
