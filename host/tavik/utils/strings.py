"""Stand-in for the host package's string helpers."""

import base64
import binascii
import re

# URL-safe alphabet; "=" only as trailing padding.
_URLSAFE_B64 = re.compile(r"[A-Za-z0-9_-]+={0,2}")


def decode_cli_string(text):
    """Return the text that `text` encodes in URL-safe base64, else `text`.

    Command-line values may arrive encoded so that quotes and blanks survive
    the shell. Only input that is well-formed URL-safe base64 of printable
    UTF-8 text is decoded: JSON, k=v text and words that merely happen to be
    valid base64 of arbitrary bytes come back unchanged.
    """
    if not isinstance(text, str) or not _URLSAFE_B64.fullmatch(text):
        return text
    body = text.rstrip("=")
    if len(text) != len(body) and len(text) % 4:
        return text  # padded, but not to a whole 4-character group
    if len(body) % 4 == 1:
        return text  # no byte sequence encodes to this length
    try:
        raw = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
        decoded = raw.decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        return text
    # Decoding ignores leftover bits; an encoder never sets them. Requiring
    # the canonical form keeps short words such as "OK" as they are.
    if base64.urlsafe_b64encode(raw).decode("ascii").rstrip("=") != body:
        return text
    if not all(ch.isprintable() or ch in "\t\n\r" for ch in decoded):
        return text
    return decoded
