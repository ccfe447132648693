-- The grouping functions of the episode grouper, over fixed-width records
-- and over typed episode columns.
\echo Use "CREATE EXTENSION episode_grouper" to load this file. \quit

-- The result of one episode, as the columns of the detailed result file:
--   mdc, adrg, drg    the group codes as the tables hold them (bytes read as
--                     Latin-1, nothing escaped); NULL for none (adrg and
--                     drg are NULL for a record without an ADRG)
--   pccl              the patient clinical complexity level, NULL without an ADRG
--   ccl               the CCLs of the secondary diagnosis positions 2..10
--                     after the exclusions, always nine (0 for an empty
--                     position), as the ccl_excl column shows them; an
--                     element is NULL where the principal diagnosis stood
--                     after a dagger/asterisk exchange; NULL without an ADRG
--   supplementary     the supplementary group ("0000" for none)
--   age_years, age_days  the age as the grouping counted it
--   findings          each finding as the findings column writes it (with
--                     its escapes: \; \> \t \\ inside code texts), e.g.
--                     'dx_unknown@3:U123', and 'more:N' last when N more did
--                     not fit; empty when there are none
--   weight, effective_weight, los_class  with a weight catalogue
--                     (episode_grouper.weights) and a weight for the
--                     episode; NULL otherwise
CREATE TYPE eg_result AS (
  mdc text,
  adrg text,
  drg text,
  pccl int,
  ccl int[],
  supplementary text,
  age_years int,
  age_days int,
  findings text[],
  weight numeric,
  effective_weight numeric,
  los_class text
);

-- Groups one fixed-width record.  tables is the directory of a table set;
-- NULL means the setting episode_grouper.tables.  The text's bytes reach
-- the grouper as the database stores them: in a UTF-8 database a Latin-1
-- character above 127 is two bytes, so give such records as bytea (for
-- example convert_to(line, 'LATIN1')) to the variant below.  A value is
-- read as one line of an episode file, followed by its line feed, so that
-- it groups as the program groups that line: at most 4095 bytes are read,
-- and none after a line feed inside the value.
CREATE FUNCTION eg_group(record text, tables text DEFAULT NULL)
RETURNS eg_result
AS 'MODULE_PATHNAME', 'eg_group_text'
LANGUAGE C STABLE PARALLEL SAFE CALLED ON NULL INPUT;

-- The same over the record's bytes as they are.
CREATE FUNCTION eg_group(record bytea, tables text DEFAULT NULL)
RETURNS eg_result
AS 'MODULE_PATHNAME', 'eg_group_bytea'
LANGUAGE C STABLE PARALLEL SAFE CALLED ON NULL INPUT;

-- Builds the record of an episode from typed columns and groups it.  Every
-- argument may be given by name; NULL is "not given".  Exactly one of
-- birth_date, age_years and age_days is given.  sex is M, F, male or female
-- in any case; codes are written as usual ("K35.8" or "k358"); at most 9
-- secondary diagnoses and 36 procedures.  An episode that cannot be built
-- raises an error (SQLSTATE 22023) whose message lists every field error.
CREATE FUNCTION eg_group_episode(
  birth_date date DEFAULT NULL,
  sex text DEFAULT NULL,
  record_date date DEFAULT NULL,
  los int DEFAULT NULL,
  discharge int DEFAULT NULL,
  principal text DEFAULT NULL,
  secondary text[] DEFAULT NULL,
  procedures text[] DEFAULT NULL,
  birth_weight int DEFAULT NULL,
  vent_hours int DEFAULT NULL,
  id text DEFAULT NULL,
  tables text DEFAULT NULL,
  age_years int DEFAULT NULL,
  age_days int DEFAULT NULL)
RETURNS eg_result
AS 'MODULE_PATHNAME', 'eg_group_episode'
LANGUAGE C STABLE PARALLEL SAFE CALLED ON NULL INPUT;

-- The field errors of an episode ("field: message"), an empty array when
-- it can be built; never raises for them, so that a query can find the bad
-- rows: WHERE cardinality(eg_validate_episode(...)) > 0.
CREATE FUNCTION eg_validate_episode(
  birth_date date DEFAULT NULL,
  sex text DEFAULT NULL,
  record_date date DEFAULT NULL,
  los int DEFAULT NULL,
  discharge int DEFAULT NULL,
  principal text DEFAULT NULL,
  secondary text[] DEFAULT NULL,
  procedures text[] DEFAULT NULL,
  birth_weight int DEFAULT NULL,
  vent_hours int DEFAULT NULL,
  id text DEFAULT NULL,
  age_years int DEFAULT NULL,
  age_days int DEFAULT NULL)
RETURNS text[]
AS 'MODULE_PATHNAME', 'eg_validate_episode'
LANGUAGE C STABLE PARALLEL SAFE CALLED ON NULL INPUT;

-- Why a record grouped as it did: every step of its grouping, as the JSON
-- document of "grouper explain --format json" for the same line of a file
-- (the record read as eg_group reads it).
CREATE FUNCTION eg_explain(record text, tables text DEFAULT NULL)
RETURNS jsonb
AS 'MODULE_PATHNAME', 'eg_explain'
LANGUAGE C STABLE PARALLEL SAFE CALLED ON NULL INPUT;

-- The grouper's version (as "grouper --version" and the library tell it),
-- not the extension's own SQL version, which PostgreSQL keeps.
CREATE FUNCTION eg_version()
RETURNS text
AS 'MODULE_PATHNAME', 'eg_grouper_version'
LANGUAGE C IMMUTABLE PARALLEL SAFE;
