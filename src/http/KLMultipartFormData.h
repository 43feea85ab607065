// Building a multipart/form-data body: the parts a caller may append (form fields, file data,
// files, streams, raw parts with their own headers) and the request they end up in. The body is
// read part by part while the request is sent, so files and streams are never held in memory.
//
// Part names and file names go into quoted Content-Disposition parameters with '"', CR and LF
// written as %22, %0D and %0A, so no name can end the quotes or start a header of its own. A part
// header that would carry a line break, or text that has no form in the string encoding, is not
// appended: the finished request then carries the error and is never sent half-built.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/KLInputStream.h"
#include "http/KLMultipartBodyStreamProvider.h"
#include "http/KLURLRequest.h"

namespace kl {

// Suggested throttling for slow mobile links: 16 KB packets, 0.2 s apart.
inline constexpr size_t kKLUploadStream3GSuggestedPacketSize = 16384;
inline constexpr double kKLUploadStream3GSuggestedDelay = 0.2;

class KLMultipartFormData {
public:
    virtual ~KLMultipartFormData() = default;

    // A file part named after the URL's last path component, typed by its extension.
    virtual bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, Error* error) = 0;
    // fileURL is a "file:" URL of a readable file; false (with the error, nothing appended) otherwise.
    virtual bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, const std::string& fileName,
                                       const std::string& mimeType, Error* error) = 0;
    // stream must give exactly length bytes, then end; anything else fails the upload.
    virtual void appendPartWithInputStream(std::shared_ptr<KLInputStream> stream, const std::string& name,
                                           const std::string& fileName, uint64_t length, const std::string& mimeType) = 0;
    virtual void appendPartWithFileData(const Bytes& data, const std::string& name, const std::string& fileName,
                                        const std::string& mimeType) = 0;
    virtual void appendPartWithFormData(const Bytes& data, const std::string& name) = 0;
    virtual void appendPartWithHeaders(const KLHTTPHeaders& headers, const Bytes& body) = 0;
    // Sends the body in packets of numberOfBytes, delay seconds apart.
    virtual void throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) = 0;
};

class KLStreamingMultipartFormData : public KLMultipartFormData {
public:
    KLStreamingMultipartFormData(KLURLRequest request, std::string stringEncoding);

    bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, Error* error) override;
    bool appendPartWithFileURL(const std::string& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mimeType, Error* error) override;
    void appendPartWithInputStream(std::shared_ptr<KLInputStream> stream, const std::string& name, const std::string& fileName,
                                   uint64_t length, const std::string& mimeType) override;
    void appendPartWithFileData(const Bytes& data, const std::string& name, const std::string& fileName,
                                const std::string& mimeType) override;
    void appendPartWithFormData(const Bytes& data, const std::string& name) override;
    void appendPartWithHeaders(const KLHTTPHeaders& headers, const Bytes& body) override;
    void throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) override;

    // The request with the body stream, "Content-Type" and "Content-Length"; unchanged when no
    // part was appended.
    KLURLRequest requestByFinalizingMultipartFormData();

private:
    void appendPart(const KLHTTPHeaders& headers, KLHTTPBodyPartBody body, uint64_t length);
    void recordError(Error error);

    KLURLRequest request_;
    const std::string stringEncoding_;
    std::shared_ptr<KLMultipartBodyStreamProvider> bodyStream_;
    std::optional<Error> error_;  // the first part refused
};

// The Content-Disposition value of a form part: form-data; name="..."[; filename="..."].
std::string KLContentDispositionForFormPart(const std::string& name, const std::optional<std::string>& fileName);

}  // namespace kl
