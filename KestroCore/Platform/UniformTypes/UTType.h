#pragma once

// The type system the share target asks which kind of content an item offers: declared
// identifiers ("public.png"), MIME types (what Linux hosts speak), and file name extensions.
//
// A UTType is a plain value: copy it and use it from any thread. Lookups by MIME type and by
// extension, and conformance of types known only by their MIME type, consult the freedesktop
// shared-mime-info database through GIO; GIO serialises its own access, so they too may run on
// any thread at once. GIO is loaded the first time the database is needed: declared identifiers
// alone never load it.
//
// Errors: what consults the database throws std::runtime_error when GIO cannot be loaded
// (libgio-2.0.so.0 missing); nothing else throws but std::bad_alloc.

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

namespace uttype {
struct Declaration;
}

class UTType {
 public:
  // The type an identifier names, or nothing when the system does not know it. Accepted:
  // - a declared identifier from the built-in table, in any letter case ("public.png");
  // - a MIME type, with or without parameters ("image/png", "text/plain; charset=utf-8"): one
  //   the built-in table declares becomes that declared type (so "image/png" is "public.png"),
  //   any other must be registered in the shared-mime-info database and stands for itself.
  // Wildcards ("image/*"), aliases the database does not register ("image/jpg") and reverse-DNS
  // identifiers outside the table give nothing.
  static std::optional<UTType> fromIdentifier(std::string_view identifier);

  // The type of files with this extension (without its dot, any letter case) if that type
  // conforms to `conformingTo`; nothing otherwise. The extension is looked up in the
  // shared-mime-info database by name alone, as a file manager does before reading any content.
  // An extension the database does not know gives nothing. So does one it maps only to the
  // generic "application/octet-stream" (".bin", ".dat"): that says no more than "some bytes",
  // and callers treat an unknown type and generic bytes alike. An empty extension, or one
  // holding "/" or NUL, gives nothing.
  static std::optional<UTType> fromFilenameExtension(std::string_view filenameExtension,
                                                     const UTType& conformingTo);

  // The declared abstract types the share target distinguishes.
  static const UTType& url();    // public.url: a web address or a file reference
  static const UTType& text();   // public.text: any text
  static const UTType& pdf();    // com.adobe.pdf
  static const UTType& image();  // public.image
  static const UTType& movie();  // public.movie: video, with or without sound
  static const UTType& data();   // public.data: any byte content

  // "public.png" for a declared type; the lower-case MIME type for one known only to the
  // database ("video/x-matroska").
  const std::string& identifier() const noexcept { return identifier_; }

  // The MIME type; nothing for abstract types (public.image, public.data, public.url, ...).
  const std::optional<std::string>& preferredMIMEType() const noexcept { return mimeType_; }

  // The extension files of this type usually carry, without its dot ("png"): of the
  // shared-mime-info database's globs of the form "*.ext" for the MIME type, the first of the
  // highest weight. Nothing for an abstract type, or one the database gives no such glob. Reads
  // the database's globs2 files ($XDG_DATA_HOME/mime, then each of $XDG_DATA_DIRS) on every call;
  // a file that cannot be read is passed over.
  std::optional<std::string> preferredFilenameExtension() const;

  // Whether this type is `other` or lies beneath it: through the declared hierarchy
  // (public.png < public.image < public.data), and, for types known by MIME type, through the
  // database's subclasses ("text/x-csrc" is text, "video/x-matroska" is a movie, every type but
  // "inode/..." is data).
  bool conforms(const UTType& other) const;

  bool operator==(const UTType& other) const noexcept { return identifier_ == other.identifier_; }

 private:
  UTType(const uttype::Declaration* declaration, std::string identifier,
         std::optional<std::string> mimeType);
  static UTType declared(const uttype::Declaration& declaration);
  static std::optional<UTType> fromMIMEType(std::string_view mimeType, bool mustBeRegistered);

  const uttype::Declaration* declaration_;  // null for a type known only by its MIME type
  std::string identifier_;
  std::optional<std::string> mimeType_;
};

}  // namespace kestro
