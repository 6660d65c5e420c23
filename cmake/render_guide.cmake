# Renders docs/windows-setup.md as the page the release zip holds, for a user who has the zip
# alone: GitHub-flavoured Markdown with its tables, by cmark-gfm, in a plain UTF-8 HTML page
# titled by the guide's first heading.
#   cmake -DCMARK=cmark-gfm -DGUIDE=windows-setup.md -DPAGE=windows-setup.html -P render_guide.cmake
execute_process(COMMAND ${CMARK} --extension table --extension autolink ${GUIDE}
    OUTPUT_VARIABLE body RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CMARK} could not render ${GUIDE}")
endif()
file(STRINGS ${GUIDE} title LIMIT_COUNT 1)
string(REGEX REPLACE "^# " "" title "${title}")
file(WRITE ${PAGE} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<title>${title}</title>
<style>
body { font-family: sans-serif; max-width: 52em; margin: 1em auto; padding: 0 1em; line-height: 1.4; }
pre { background: #f4f4f4; padding: 0.5em; overflow-x: auto; }
table { border-collapse: collapse; }
th, td { border: 1px solid #999; padding: 0.2em 0.5em; vertical-align: top; }
</style>
</head>
<body>
${body}</body>
</html>
")
