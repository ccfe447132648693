/* The PostgreSQL side of the extension: arguments, settings, result tuples
 * and errors.
 *
 * The grouping itself runs in grouper_core.cc behind a C interface that
 * returns a status; every error is raised here, in C, after the C++ frames
 * are gone, so that no longjmp crosses them.  Per row nothing is allocated
 * but the result (its tuple, arrays and texts, in the caller's memory
 * context); the arguments are read in place. */
#include "postgres.h"

#include "access/htup_details.h"
#include "access/xact.h"
#include "catalog/pg_type.h"
#include "fmgr.h"
#include "funcapi.h"
#include "mb/pg_wchar.h"
#include "utils/array.h"
#include "utils/arrayaccess.h"
#include "utils/builtins.h"
#include "utils/date.h"
#include "utils/datetime.h"
#include "utils/guc.h"
#include "utils/jsonb.h"
#include "utils/numeric.h"

#include "grouper_core.h"

PG_MODULE_MAGIC;

void _PG_init(void);

static char *tables_setting = NULL;
static char *weights_setting = NULL;

void
_PG_init(void)
{
	DefineCustomStringVariable("episode_grouper.tables",
							   "Directory of the table set the grouping functions use when their tables argument is NULL.",
							   "The server's user reads the sixteen table files there; a relative path is taken from the data directory.",
							   &tables_setting, NULL, PGC_USERSET, 0, NULL, NULL, NULL);
	DefineCustomStringVariable("episode_grouper.weights",
							   "Weight catalogue (a tab-separated file) that fills the weight columns of eg_result.",
							   "Empty: no weights (the weight columns are NULL).",
							   &weights_setting, NULL, PGC_USERSET, 0, NULL, NULL, NULL);
	MarkGUCPrefixReserved("episode_grouper");
}

/* Columns of eg_result. */
enum
{
	COL_MDC, COL_ADRG, COL_DRG, COL_PCCL, COL_CCL, COL_SUPPLEMENTARY, COL_AGE_YEARS,
	COL_AGE_DAYS, COL_FINDINGS, COL_WEIGHT, COL_EFFECTIVE_WEIGHT, COL_LOS_CLASS, N_COLS
};

/* Raises the error of a failed core call. */
static void
raise_core_error(EgCoreStatus status)
{
	const char *message = eg_core_message();

	switch (status)
	{
		case EG_CORE_OK:
			return;
		case EG_CORE_TABLES:
			ereport(ERROR, (errcode(ERRCODE_IO_ERROR),
							errmsg("episode_grouper: %s", message),
							errhint("Check the tables argument or the setting episode_grouper.tables.")));
			break;
		case EG_CORE_WEIGHTS:
			ereport(ERROR, (errcode(ERRCODE_IO_ERROR),
							errmsg("episode_grouper: %s", message),
							errhint("Check the setting episode_grouper.weights.")));
			break;
		case EG_CORE_INVALID_EPISODE:
			ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
							errmsg("invalid episode: %s", message)));
			break;
		case EG_CORE_NO_MEMORY:
			ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY),
							errmsg("episode_grouper: out of memory")));
			break;
		default:
			ereport(ERROR, (errcode(ERRCODE_INTERNAL_ERROR),
							errmsg("episode_grouper: %s", message)));
			break;
	}
}

/* Selects the table set of argument `argno` (NULL: the setting) and the
 * weight catalogue of the setting; files are compared with what was opened
 * once per statement. */
static void
select_tables(FunctionCallInfo fcinfo, int argno)
{
	EgText		tables = {NULL, 0};
	EgText		weights = {NULL, 0};
	EgCoreStatus status;

	if (argno < PG_NARGS() && !PG_ARGISNULL(argno))
	{
		text	   *t = PG_GETARG_TEXT_PP(argno);

		tables.data = VARDATA_ANY(t);
		tables.len = VARSIZE_ANY_EXHDR(t);
	}
	else if (tables_setting != NULL && tables_setting[0] != '\0')
	{
		tables.data = tables_setting;
		tables.len = strlen(tables_setting);
	}
	if (tables.data == NULL || tables.len == 0)
		ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
						errmsg("episode_grouper: no table set given"),
						errhint("Set episode_grouper.tables to the directory of a table set, or pass it as the tables argument.")));
	if (memchr(tables.data, '\0', tables.len) != NULL)
		ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
						errmsg("episode_grouper: the table directory holds a NUL byte")));
	if (weights_setting != NULL && weights_setting[0] != '\0')
	{
		weights.data = weights_setting;
		weights.len = strlen(weights_setting);
	}
	status = eg_core_select(tables, weights, (int64_t) GetCurrentStatementStartTimestamp());
	if (status != EG_CORE_OK)
		raise_core_error(status);
}

/* A text of Latin-1 bytes (codes, findings) in the database's encoding:
 * ASCII as it is, the other bytes converted (a UTF-8 database gets two
 * bytes for each). */
static text *
latin1_text(const char *data, size_t len)
{
	size_t		high = 0;
	int			encoding;

	for (size_t i = 0; i < len; ++i)
		high += (unsigned char) data[i] >= 0x80;
	encoding = GetDatabaseEncoding();
	if (high == 0 || encoding == PG_LATIN1 || encoding == PG_SQL_ASCII)
		return cstring_to_text_with_len(data, (int) len);
	if (encoding == PG_UTF8)
	{
		text	   *result = (text *) palloc(VARHDRSZ + len + high);
		char	   *out = VARDATA(result);

		for (size_t i = 0; i < len; ++i)
		{
			unsigned char c = (unsigned char) data[i];

			if (c < 0x80)
				*out++ = (char) c;
			else
			{
				*out++ = (char) (0xC0 | (c >> 6));
				*out++ = (char) (0x80 | (c & 0x3F));
			}
		}
		SET_VARSIZE(result, VARHDRSZ + len + high);
		return result;
	}
	else
	{
		char	   *converted = pg_any_to_server(data, (int) len, PG_LATIN1);

		return cstring_to_text(converted);
	}
}

/* A numeric from a weight text ("1.2345"). */
static Datum
weight_numeric(EgText weight)
{
	char		buf[64];
	size_t		n = weight.len < sizeof buf - 1 ? weight.len : sizeof buf - 1;

	memcpy(buf, weight.data, n);
	buf[n] = '\0';
	return DirectFunctionCall3(numeric_in, CStringGetDatum(buf), ObjectIdGetDatum(InvalidOid), Int32GetDatum(-1));
}

/* The row descriptor of eg_result, blessed once per call site. */
static TupleDesc
result_desc(FunctionCallInfo fcinfo)
{
	TupleDesc	desc = (TupleDesc) fcinfo->flinfo->fn_extra;

	if (desc == NULL)
	{
		MemoryContext old = MemoryContextSwitchTo(fcinfo->flinfo->fn_mcxt);
		TupleDesc	found;

		if (get_call_result_type(fcinfo, NULL, &found) != TYPEFUNC_COMPOSITE)
			ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
							errmsg("episode_grouper: the function must return eg_result")));
		desc = BlessTupleDesc(CreateTupleDescCopy(found));
		MemoryContextSwitchTo(old);
		fcinfo->flinfo->fn_extra = desc;
	}
	return desc;
}

static Datum
optional_text(EgText t, bool *isnull)
{
	*isnull = t.data == NULL || t.len == 0;
	return *isnull ? (Datum) 0 : PointerGetDatum(latin1_text(t.data, t.len));
}

/* The eg_result tuple of a row. */
static Datum
result_datum(FunctionCallInfo fcinfo, const EgRow *row)
{
	TupleDesc	desc = result_desc(fcinfo);
	Datum		values[N_COLS];
	bool		nulls[N_COLS];
	HeapTuple	tuple;

	memset(nulls, 0, sizeof nulls);
	values[COL_MDC] = optional_text(row->mdc, &nulls[COL_MDC]);
	values[COL_ADRG] = optional_text(row->adrg, &nulls[COL_ADRG]);
	values[COL_DRG] = optional_text(row->drg, &nulls[COL_DRG]);
	if (row->has_adrg)
	{
		Datum		ccl[9];
		bool		ccl_nulls[9];
		int			dims[1] = {9};
		int			lbs[1] = {1};

		for (int i = 0; i < 9; ++i)
		{
			ccl[i] = Int32GetDatum(row->ccl[i]);
			ccl_nulls[i] = row->ccl_null[i];
		}
		values[COL_PCCL] = Int32GetDatum(row->pccl);
		values[COL_CCL] = PointerGetDatum(construct_md_array(ccl, ccl_nulls, 1, dims, lbs, INT4OID, 4, true, TYPALIGN_INT));
	}
	else
	{
		nulls[COL_PCCL] = true;
		nulls[COL_CCL] = true;
	}
	values[COL_SUPPLEMENTARY] = PointerGetDatum(latin1_text(row->supplementary.data, row->supplementary.len));
	values[COL_AGE_YEARS] = Int32GetDatum(row->age_years);
	values[COL_AGE_DAYS] = Int32GetDatum(row->age_days);
	{
		Datum		findings[EG_MAX_FINDINGS];

		for (int i = 0; i < row->n_findings; ++i)
			findings[i] = PointerGetDatum(latin1_text(row->findings[i].data, row->findings[i].len));
		values[COL_FINDINGS] = PointerGetDatum(construct_array(findings, row->n_findings, TEXTOID, -1, false, TYPALIGN_INT));
	}
	if (row->has_weight)
	{
		values[COL_WEIGHT] = weight_numeric(row->weight);
		values[COL_EFFECTIVE_WEIGHT] = weight_numeric(row->effective_weight);
		values[COL_LOS_CLASS] = optional_text(row->los_class, &nulls[COL_LOS_CLASS]);
	}
	else
	{
		nulls[COL_WEIGHT] = true;
		nulls[COL_EFFECTIVE_WEIGHT] = true;
		nulls[COL_LOS_CLASS] = true;
	}
	tuple = heap_form_tuple(desc, values, nulls);
	return HeapTupleGetDatum(tuple);
}

/* eg_group(record text|bytea, tables text): the bytes as they are. */
static Datum
group_record(FunctionCallInfo fcinfo)
{
	struct varlena *record;
	EgText		bytes;
	EgRow		row;
	EgCoreStatus status;

	if (PG_ARGISNULL(0))
		PG_RETURN_NULL();
	record = PG_GETARG_VARLENA_PP(0);
	bytes.data = VARDATA_ANY(record);
	bytes.len = VARSIZE_ANY_EXHDR(record);
	select_tables(fcinfo, 1);
	status = eg_core_group(bytes, &row);
	if (status != EG_CORE_OK)
		raise_core_error(status);
	return result_datum(fcinfo, &row);
}

/* The library's version: the grouper's, not the extension's SQL version
 * (the control file's default_version). */
PG_FUNCTION_INFO_V1(eg_grouper_version);
Datum
eg_grouper_version(PG_FUNCTION_ARGS)
{
	PG_RETURN_TEXT_P(cstring_to_text(eg_core_version()));
}

PG_FUNCTION_INFO_V1(eg_group_text);
Datum
eg_group_text(PG_FUNCTION_ARGS)
{
	return group_record(fcinfo);
}

PG_FUNCTION_INFO_V1(eg_group_bytea);
Datum
eg_group_bytea(PG_FUNCTION_ARGS)
{
	return group_record(fcinfo);
}

/* Arguments of eg_group_episode and eg_validate_episode, in order. */
enum
{
	ARG_BIRTH_DATE, ARG_SEX, ARG_RECORD_DATE, ARG_LOS, ARG_DISCHARGE, ARG_PRINCIPAL,
	ARG_SECONDARY, ARG_PROCEDURES, ARG_BIRTH_WEIGHT, ARG_VENT_HOURS, ARG_ID, ARG_TABLES,
	ARG_AGE_YEARS, ARG_AGE_DAYS
};

static EgText
text_arg(FunctionCallInfo fcinfo, int argno)
{
	EgText		t = {NULL, 0};

	if (argno < PG_NARGS() && !PG_ARGISNULL(argno))
	{
		text	   *v = PG_GETARG_TEXT_PP(argno);

		t.data = VARDATA_ANY(v);
		t.len = VARSIZE_ANY_EXHDR(v);
	}
	return t;
}

static EgOptInt
int_arg(FunctionCallInfo fcinfo, int argno)
{
	EgOptInt	v = {false, 0};

	if (argno < PG_NARGS() && !PG_ARGISNULL(argno))
	{
		v.given = true;
		v.value = PG_GETARG_INT32(argno);
	}
	return v;
}

static EgDate
date_arg(FunctionCallInfo fcinfo, int argno)
{
	EgDate		d = {false, true, 0, 0, 0};

	if (argno < PG_NARGS() && !PG_ARGISNULL(argno))
	{
		DateADT		date = PG_GETARG_DATEADT(argno);

		d.given = true;
		if (DATE_NOT_FINITE(date))
		{
			d.finite = false;
			d.year = DATE_IS_NOBEGIN(date) ? -1 : 1;
		}
		else
			j2date(date + POSTGRES_EPOCH_JDATE, &d.year, &d.month, &d.day);
	}
	return d;
}

/* The elements of a text[] argument, read in place; *n is their number. */
static void
list_arg(FunctionCallInfo fcinfo, int argno, EgText *items, int *n)
{
	ArrayType  *array;
	array_iter	iter;
	int			count;

	*n = 0;
	if (argno >= PG_NARGS() || PG_ARGISNULL(argno))
		return;
	array = PG_GETARG_ARRAYTYPE_P(argno);
	if (ARR_NDIM(array) > 1)
		ereport(ERROR, (errcode(ERRCODE_ARRAY_SUBSCRIPT_ERROR),
						errmsg("episode_grouper: a code list must be a one-dimensional array")));
	count = ArrayGetNItems(ARR_NDIM(array), ARR_DIMS(array));
	*n = count;
	if (count > EG_MAX_LIST)
		return;
	array_iter_setup(&iter, (AnyArrayType *) array);
	for (int i = 0; i < count; ++i)
	{
		bool		isnull;
		Datum		d = array_iter_next(&iter, &isnull, i, -1, false, TYPALIGN_INT);

		if (isnull)
		{
			items[i].data = NULL;
			items[i].len = 0;
		}
		else
		{
			text	   *t = (text *) DatumGetPointer(d);

			items[i].data = VARDATA_ANY(t);
			items[i].len = VARSIZE_ANY_EXHDR(t);
		}
	}
}

static void
episode_args(FunctionCallInfo fcinfo, EgEpisode *e)
{
	e->birth_date = date_arg(fcinfo, ARG_BIRTH_DATE);
	e->sex = text_arg(fcinfo, ARG_SEX);
	e->record_date = date_arg(fcinfo, ARG_RECORD_DATE);
	e->los = int_arg(fcinfo, ARG_LOS);
	e->discharge = int_arg(fcinfo, ARG_DISCHARGE);
	e->principal = text_arg(fcinfo, ARG_PRINCIPAL);
	list_arg(fcinfo, ARG_SECONDARY, e->secondary, &e->n_secondary);
	list_arg(fcinfo, ARG_PROCEDURES, e->procedures, &e->n_procedures);
	e->birth_weight = int_arg(fcinfo, ARG_BIRTH_WEIGHT);
	e->vent_hours = int_arg(fcinfo, ARG_VENT_HOURS);
	e->id = text_arg(fcinfo, ARG_ID);
	e->age_years = int_arg(fcinfo, ARG_AGE_YEARS);
	e->age_days = int_arg(fcinfo, ARG_AGE_DAYS);
}

PG_FUNCTION_INFO_V1(eg_group_episode);
Datum
eg_group_episode(PG_FUNCTION_ARGS)
{
	EgEpisode	episode;
	EgRow		row;
	EgCoreStatus status;

	episode_args(fcinfo, &episode);
	select_tables(fcinfo, ARG_TABLES);
	status = eg_core_group_episode(&episode, &row);
	if (status != EG_CORE_OK)
		raise_core_error(status);
	return result_datum(fcinfo, &row);
}

/* eg_validate_episode has the arguments of eg_group_episode but tables:
 * the two age arguments come one place earlier. */
PG_FUNCTION_INFO_V1(eg_validate_episode);
Datum
eg_validate_episode(PG_FUNCTION_ARGS)
{
	EgEpisode	episode;
	EgCoreStatus status;
	int			count = 0;
	const char *texts = NULL;
	Datum	   *items;

	episode_args(fcinfo, &episode);
	episode.age_years = int_arg(fcinfo, ARG_TABLES);
	episode.age_days = int_arg(fcinfo, ARG_TABLES + 1);
	status = eg_core_validate_episode(&episode, &count, &texts);
	if (status != EG_CORE_OK)
		raise_core_error(status);
	items = (Datum *) palloc(sizeof(Datum) * (count > 0 ? count : 1));
	for (int i = 0; i < count; ++i)
	{
		size_t		len = strlen(texts);

		/* The values in the texts are the arguments' own bytes. */
		items[i] = PointerGetDatum(cstring_to_text_with_len(texts, (int) len));
		texts += len + 1;
	}
	PG_RETURN_ARRAYTYPE_P(construct_array(items, count, TEXTOID, -1, false, TYPALIGN_INT));
}

PG_FUNCTION_INFO_V1(eg_explain);
Datum
eg_explain(PG_FUNCTION_ARGS)
{
	text	   *record;
	EgText		bytes;
	const char *json = NULL;
	EgCoreStatus status;
	char	   *server;

	if (PG_ARGISNULL(0))
		PG_RETURN_NULL();
	record = PG_GETARG_TEXT_PP(0);
	bytes.data = VARDATA_ANY(record);
	bytes.len = VARSIZE_ANY_EXHDR(record);
	select_tables(fcinfo, 1);
	status = eg_core_explain(bytes, &json);
	if (status != EG_CORE_OK)
		raise_core_error(status);
	/* The JSON is UTF-8; jsonb_in reads the database's encoding. */
	server = pg_any_to_server(json, (int) strlen(json), PG_UTF8);
	return DirectFunctionCall1(jsonb_in, CStringGetDatum(server));
}
