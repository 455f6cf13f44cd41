// The PostgreSQL index's schema, all in the database schema "orvane", so that a
// lab's database may hold other things and an index is dropped in one statement.
//
//   about            key/value: "format", the version of this layout
//   attribute_names  (id, name)
//   documents        one row per document: path (bytea, the file system's bytes),
//                    identity, network flag, failure, notes, and every attribute
//                    encoded in one record (encoding.h); ids come from a sequence
//                    and are never reused
//   number_values    (attr, value, doc) for numbers and dates, B-tree on (attr, value)
//   string_values    (attr, value, doc): strings by exact bytes (bytea, NFC, cut to
//                    kIndexedStringBytes), B-tree on (attr, value); each distinct
//                    value is found by skipping through this B-tree
//   string_texts     (attr, doc, folded, stripped, cased): a document's strings of
//                    one attribute, case-folded (and without diacritics where that
//                    differs), one a line, with pg_trgm GIN indexes: a substring is
//                    a LIKE '%run%' that the trigrams narrow; and from format 5 on,
//                    composed (NFC) with case kept where that differs from the
//                    folded text (else NULL): a substring with case is a LIKE on
//                    them in the same row the folded trigrams found, so the server
//                    answers it without the documents' records
//   number_spans     (attr, low, high, doc) for arrays of two or more numbers
//   empty_values     (attr, doc) for empty arrays
//   molecules        (id, doc, molecule, similarity): each molecule of a document's
//                    SMILES as the RDKit cartridge's mol, made from RDKit's binary
//                    molecule, with a GiST index for substructures, and its Morgan
//                    fingerprint as the cartridge's bfp (the very bits the SQLite
//                    index keeps), with a GiST index for similarity
//                    and, from format 4 on, RDKit's binary molecule as bytes
//                    (data): the cartridge takes 36 us a molecule to give its own
//   molecule_screens (id, doc, w0 ... w25): each molecule's substructure screen
//                    (structure_search.h), a bigint a word, under the molecule's
//                    number: a search scans this narrow table, and only the
//                    molecules that pass are read from the wide one. Not in an
//                    index of format 3, whose substructure searches the
//                    cartridge's GiST index narrows
//   roots            the folders the indexers keep current, each with its owner
//                    (the indexer that records, updates and forgets it)
// Every search table has an index on doc: a writer replaces a document's rows
// by deleting them by document, touching no row another writer uses.
#pragma once

#include <optional>
#include <string>

#include "platform/metadata/postgres/pg_util.h"
#include "platform/metadata/structure_search.h"

namespace metadata::postgres {

constexpr int kFormatVersion = 5;
// An index of format 3 or 4 is read and written as it is: format 3 keeps no
// screens, and neither keeps texts with case.
constexpr int kOldestReadableFormat = 3;
constexpr int kFirstFormatWithScreens = 4;
constexpr int kFirstFormatWithCasedTexts = 5;

// The format of an index's "format" entry when this program reads it.
std::optional<int> ReadableFormat(const std::string& version);
// The column of the screen table that holds the screen's word `word`.
std::string ScreenColumn(size_t word);

// How to make a new index in place of the one at `name`, for messages.
std::string RebuildAdvice(const std::string& name);
// Empty when the database holds an index of this format, else what is wrong and what to do.
std::string CheckIndex(Connection& connection);
bool HasIndex(Connection& connection);
// The quoted schema that holds the RDKit cartridge's types, functions and
// operators; throws PostgresError when the cartridge is not installed.
std::string CartridgeSchema(Connection& connection);
// Creates the extensions (pg_trgm, rdkit) and the tables unless they are there; throws PostgresError.
void CreateIndex(Connection& connection);

}  // namespace metadata::postgres
