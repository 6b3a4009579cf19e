; C++ beyond the C rules. Later patterns win on the same name.

(class_specifier name: (type_identifier) @name body: (field_declaration_list)) @definition.class
(struct_specifier name: (type_identifier) @name body: (field_declaration_list)) @definition.struct
(namespace_definition name: [(namespace_identifier) (nested_namespace_specifier)] @name) @definition.namespace
(function_definition declarator: (function_declarator declarator: (qualified_identifier name: (identifier) @name))) @definition.method
(function_definition declarator: (function_declarator declarator: (qualified_identifier name: (destructor_name) @name))) @definition.method
(field_declaration_list (function_definition declarator: (function_declarator declarator: [(field_identifier) (identifier) (destructor_name) (operator_name)] @name)) @definition.method)
(field_declaration_list (field_declaration declarator: (function_declarator declarator: [(field_identifier) (destructor_name) (operator_name)] @name)) @definition.method)
(field_declaration_list (declaration declarator: (function_declarator declarator: [(identifier) (field_identifier)] @name)) @definition.method)
(alias_declaration name: (type_identifier) @name) @definition.type
(enum_specifier name: (type_identifier) @name body: (enumerator_list)) @definition.enum
(concept_definition name: (identifier) @name) @definition.type

; References.

(call_expression function: (qualified_identifier name: (identifier) @name)) @reference.call
(call_expression function: (template_function name: (identifier) @name)) @reference.call
(new_expression type: (type_identifier) @name) @reference.new
(new_expression type: (qualified_identifier name: (type_identifier) @name)) @reference.new
(template_parameter_list (type_parameter_declaration (type_identifier) @ignore))
(base_class_clause (type_identifier) @name) @reference.type
(using_declaration (qualified_identifier name: (identifier) @name)) @reference.import
