opal_add_test(ASTCommonFuncTest SOURCES ASTCommonFuncTest.cpp LIBS opal_common LABELS threads)
