; Definitions. Later patterns win on the same name, so the general rule comes
; first and the more particular ones after it.

(function_definition name: (identifier) @name) @definition.function

(class_definition
  body: (block (function_definition name: (identifier) @name) @definition.method))
(class_definition
  body: (block (decorated_definition
    definition: (function_definition name: (identifier) @name) @definition.method)))

(class_definition name: (identifier) @name) @definition.class

; Module variables, also when set under a module-level if, try or with.
(module (expression_statement (assignment left: (identifier) @name) @definition.variable))
(module (expression_statement (assignment left: [(pattern_list (identifier) @name) (tuple_pattern (identifier) @name)]) @definition.variable))
(module (if_statement consequence: (block (expression_statement (assignment left: (identifier) @name) @definition.variable))))
(module (if_statement alternative: (else_clause body: (block (expression_statement (assignment left: (identifier) @name) @definition.variable)))))
(module (if_statement alternative: (elif_clause consequence: (block (expression_statement (assignment left: (identifier) @name) @definition.variable)))))
(module (try_statement body: (block (expression_statement (assignment left: (identifier) @name) @definition.variable))))
(module (try_statement (except_clause (block (expression_statement (assignment left: (identifier) @name) @definition.variable)))))
(module (with_statement body: (block (expression_statement (assignment left: (identifier) @name) @definition.variable))))

; Class attributes, also under an if or try of the class body.
(class_definition body: (block (expression_statement (assignment left: (identifier) @name) @definition.field)))
(class_definition body: (block (if_statement consequence: (block (expression_statement (assignment left: (identifier) @name) @definition.field)))))
(class_definition body: (block (if_statement alternative: (else_clause body: (block (expression_statement (assignment left: (identifier) @name) @definition.field))))))
(class_definition body: (block (try_statement body: (block (expression_statement (assignment left: (identifier) @name) @definition.field)))))

; A lambda bound to a name is a function, at any depth.
(assignment left: (identifier) @name right: (lambda)) @definition.function

; Names written in capitals are constants by convention.
((module (expression_statement (assignment left: (identifier) @name) @definition.constant))
  (#match? @name "^[A-Z][A-Z0-9_]*$"))

; References.

(decorator (identifier) @name) @reference.call
(decorator (call function: (identifier) @name)) @reference.call
(decorator (attribute attribute: (identifier) @name)) @reference.call

(type (identifier) @name) @reference.type
(type (generic_type (identifier) @name)) @reference.type
(type (subscript value: (identifier) @name)) @reference.type
(type (attribute attribute: (identifier) @name)) @reference.type
(class_definition superclasses: (argument_list (identifier) @name)) @reference.type
(class_definition superclasses: (argument_list (attribute attribute: (identifier) @name))) @reference.type
(except_clause (identifier) @name) @reference.type
(except_clause (as_pattern (identifier) @name)) @reference.type
(except_clause (tuple (identifier) @name)) @reference.type

(import_statement name: (dotted_name) @name) @reference.import
(import_statement name: (aliased_import name: (dotted_name) @name)) @reference.import
(import_from_statement module_name: (dotted_name) @name) @reference.import
(import_from_statement name: (dotted_name) @name) @reference.import
(import_from_statement name: (aliased_import name: (dotted_name) @name)) @reference.import

; Keyword arguments and the target of an assignment name no reference.
(keyword_argument name: (identifier) @ignore)
