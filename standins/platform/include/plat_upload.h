// File uploads: the upload session record and the streaming multipart/form-data parser.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <openssl/md5.h>

// One upload into one file: how far it got and the running MD5 of what was stored.
struct Upload_Session {
    Upload_Session();

    std::string strSessionID;
    int64_t iOffset = 0;  // body bytes already stored
    bool bClosed = false;
    time_t iTime = 0;     // when the session was made
    std::string strFilePath;
    MD5_CTX md5CTX;       // ready for MD5_Update
};

// The part being streamed, handed to every callback.
struct Part_Info {
    std::string strName;         // the form field's name
    std::string strFileName;     // the file name the browser gave (may be empty)
    std::string strContentType;  // the part's Content-Type, empty when it had none
    int64_t llBytes = 0;         // data bytes handed to the write callback so far
    void* pUser = nullptr;       // the user pointer of Set_Upload_File_Callback
};

// Callbacks of a file part. Any may be empty (NULL). open and close return 0 or a negative code
// that aborts; write returns the number of bytes it took, a negative code aborts;
// error is told the code with which the part failed.
using Upload_Open_Callback = std::function<int(Part_Info&)>;
using Upload_Write_Callback = std::function<int(Part_Info&, char*, int)>;
using Upload_Close_Callback = std::function<int(Part_Info&)>;
using Upload_Error_Callback = std::function<void(Part_Info&, int)>;

// Streams a multipart/form-data body from a descriptor in one pass, never holding more than one
// chunk (1 MiB) of it. Malformed bodies give -22, read failures minus errno.
class Multipart_Parser {
public:
    static constexpr int kChunk = 1 << 20;

    // Reads at most contentLength bytes from fd (all of it up to the end when negative).
    Multipart_Parser(int fd, std::string boundary, int64_t contentLength);
    ~Multipart_Parser();
    Multipart_Parser(const Multipart_Parser&) = delete;
    Multipart_Parser& operator=(const Multipart_Parser&) = delete;

    // Passes over the preamble and the parts without a file name.
    // 1: positioned at the data of a file part (Current_Part describes it);
    // 0: the body ended without another file part; negative: malformed body or read failure.
    int Parse_Until_File_Upload();

    void Set_Upload_File_Callback(Upload_Open_Callback open, Upload_Write_Callback write,
                                  Upload_Close_Callback close, Upload_Error_Callback error,
                                  void* user);

    // Streams the data of the file part found by Parse_Until_File_Upload through the callbacks,
    // in chunks of at most kChunk bytes. 0 when the part ended at its boundary; negative for a
    // malformed or truncated body, a read failure, or the negative result of a callback.
    int Parse_One_Part();

    const Part_Info& Current_Part() const { return m_part; }

private:
    enum class State { Start, AfterDelimiter, InFileData, End, Failed };

    int Fill();
    int Ensure(size_t n);
    int Read_Part_Headers(bool& isFile);
    int Pass_Data(bool deliver);
    int Deliver(char* data, size_t len);
    int Fail(int code);

    int m_fd;
    int64_t m_llRemaining;  // body bytes not yet read; negative: up to the end
    std::string m_strDelimiter;  // "\r\n--" + boundary
    std::vector<char> m_buf;
    size_t m_pos = 0;
    size_t m_end = 0;
    State m_state = State::Start;
    Part_Info m_part;
    Upload_Open_Callback m_open;
    Upload_Write_Callback m_write;
    Upload_Close_Callback m_close;
    Upload_Error_Callback m_error;
    void* m_pUser = nullptr;
};

// The boundary of a multipart/form-data Content-Type (quoted or not); empty when the type is not
// multipart/form-data or has no usable boundary.
std::string Multipart_Boundary(const char* contentType);
