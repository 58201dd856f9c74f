/* pdfextractimg.h - extracts the raster images of PDF files: JPEG images as stored, all others as PNG.
 *
 * The whole public interface of the shared library quelvar-pdfextractimg. Usable from C and C++.
 * Every working call loads the PDF file named by pdf_path, does its work and frees everything before
 * it returns; nothing stays open between calls. Only two things outlive a call: the text of the last
 * error and the last JSON listing, and both are kept per calling thread. Any number of threads may
 * call the seven functions at once (on different files and different output directories); each
 * thread sees its own error text and listing.
 *
 * Failures: the working calls return -1 (NULL for pdfextractimg_info) and leave a message that
 * pdfextractimg_last_error returns on the same thread. Every call except pdfextractimg_last_error
 * clears that message first, so a successful call leaves it empty. The PDF file must be a regular
 * file ("not a regular file: PATH" otherwise; it is never waited on).
 */
#ifndef PDFEXTRACTIMG_H
#define PDFEXTRACTIMG_H

#if defined(_WIN32)
#  if defined(PDFEXTRACTIMG_BUILDING)
#    define PDFEXTRACTIMG_API __declspec(dllexport)
#  else
#    define PDFEXTRACTIMG_API __declspec(dllimport)
#  endif
#else
#  define PDFEXTRACTIMG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Clears the error text. Always 1. Not needed before any other call. */
PDFEXTRACTIMG_API int pdfextractimg_init(void);

/* Clears the calling thread's error text and releases its JSON listing: a pointer from an earlier
 * pdfextractimg_info on this thread is invalid afterwards. Harmless to call any number of times. */
PDFEXTRACTIMG_API void pdfextractimg_cleanup(void);

/* Writes every image of the document into output_dir (created with its parents when missing, once
 * the document has loaded) as image_001.jpg, image_002.png, ... in page order; an image used on
 * several pages is written once. Each file is written under a temporary name in output_dir and
 * renamed into place, so a file of that name only ever holds a complete image; an existing file or
 * symbolic link of that name is replaced, never written through. Returns the number of files
 * written, or -1. When any file cannot be written completely (a full disk, a directory in the way,
 * ...), the call fails: the files it wrote are removed and the error text names the file and the
 * system's reason, e.g. "cannot write out/image_008.png: No space left on device". An image that
 * cannot be decoded is left out and is no failure. */
PDFEXTRACTIMG_API int pdfextractimg_all(const char *pdf_path, const char *output_dir);

/* The same for the images of one page; page is 1-based. Numbering starts at 001 on every call. */
PDFEXTRACTIMG_API int pdfextractimg_page(const char *pdf_path, int page, const char *output_dir);

/* A JSON array describing every image that pdfextractimg_all would write, without spaces:
 * [{"page":1,"width":640,"height":480,"type":"jpeg","size":53211},...], or "[]".
 * The text belongs to the library and stays valid until the next successful pdfextractimg_info or
 * pdfextractimg_cleanup on the same thread, or until the thread ends. NULL on failure (the previous
 * listing is kept). */
PDFEXTRACTIMG_API const char *pdfextractimg_info(const char *pdf_path);

/* The number of images that pdfextractimg_all would write, or -1. */
PDFEXTRACTIMG_API int pdfextractimg_count(const char *pdf_path);

/* The message of the calling thread's last failure, or "" after a successful call. Never NULL;
 * valid until the thread's next call of any other function of this library. */
PDFEXTRACTIMG_API const char *pdfextractimg_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
